// Packed datasets in the package: pack() over the library's packer, and an
// open pack's index, blocks, positions, label columns and encodings. Every
// call lets go of the interpreter's lock while it reads, decodes or encodes;
// each pack's calls are safe against each other (close while another thread
// reads).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dataset/pack_reader.h"
#include "dataset/pack_writer.h"
#include "encode_binding.h"
#include "encoder/encoder_pool.h"
#include "encoder/encoding.h"
#include "errors.h"
#include "label_columns.h"

namespace py = pybind11;
using namespace q4d;
using q4d_python::column;
using q4d_python::matrix;
using q4d_python::MoveColumns;

namespace {

constexpr std::size_t ENCODE_CHUNK = 4096;  // boards expanded at a time by encode_batch (32 MiB of them)

// The FEN4 text of a piece list: pieces in square order, pawns with their axis.
std::string fen4_text(const PieceWord* pieces, std::size_t n) {
  std::string text = "4d-fen v1:";
  for (std::size_t k = 0; k < n; ++k) {
    const int s = piece_square(pieces[k]), letter = piece_letter(pieces[k]);
    text += k > 0 ? "; " : " ";
    text += static_cast<char>(letter);
    if (letter == 'P' || letter == 'p') text += piece_pawn_axis(pieces[k]) == PAWN_AXIS_Y ? 'y' : 'w';
    for (int axis = 0; axis < 4; ++axis) {
      text += axis == 0 ? '@' : ',';
      text += static_cast<char>('0' + square_coord(s, axis));
    }
  }
  return text;
}

[[noreturn]] void closed() { throw py::value_error("the pack is closed"); }

// pack(): skipped lines become calls of `warn(code, path, line, fen4_error)`,
// and every progress report looks for signals. A Python exception raised
// there stops the packing and is raised again once it has cleaned up.
struct Callbacks {
  py::function warn;
  py::object error;  // the exception that stopped the packing, if any

  Result stop_on(py::error_already_set& e) {
    error = py::reinterpret_borrow<py::object>(e.value());
    return ERR_INTERRUPTED;
  }
  static Result line_skipped(void* context, const Failure& f) {
    auto* c = static_cast<Callbacks*>(context);
    py::gil_scoped_acquire locked;
    try {
      c->warn(static_cast<int>(f.result), py::bytes(f.path), f.line, f.fen4_error);
      return OK;
    } catch (py::error_already_set& e) {
      return c->stop_on(e);
    }
  }
  static Result progress(void* context, std::uint64_t) {
    auto* c = static_cast<Callbacks*>(context);
    py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() == 0) return OK;
    py::error_already_set e;
    return c->stop_on(e);
  }
};

// (positions, games, blocks, lines skipped, bytes)
py::tuple pack(const std::vector<std::string>& inputs, const std::string& output, const std::vector<std::string>& keys,
               const std::vector<std::string>& game_keys, int threads, py::function warn) {
  PackWriteOptions options;
  options.keys = keys;
  options.game_keys = game_keys;
  options.threads = threads;
  Callbacks callbacks{std::move(warn), py::none()};
  PackEvents events;
  events.context = &callbacks;
  events.line_skipped = Callbacks::line_skipped;
  events.progress = Callbacks::progress;
  PackSummary summary;
  Failure failure;
  Result packed = OK;
  {
    py::gil_scoped_release unlocked;
    packed = pack_write(inputs, output.c_str(), options, &events, &summary, &failure);
  }
  if (!callbacks.error.is_none()) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(callbacks.error.ptr())), callbacks.error.ptr());
    throw py::error_already_set();
  }
  if (packed != OK) q4d_python::raise_failure(failure);
  return py::make_tuple(summary.positions, summary.games, summary.blocks, summary.lines_skipped, summary.bytes);
}

// The labels of positions as numpy columns, filled a block at a time
// (without the interpreter's lock: fill touches only the arrays' memory).
struct LabelColumns {
  MoveColumns moves;
  py::array_t<std::uint32_t> input, line;
  py::array_t<std::uint8_t> move_flags;
  py::array_t<std::uint64_t> game;
  py::array_t<float> keys;

  LabelColumns(std::size_t n, std::size_t n_keys)
      : moves(n),
        input(column<std::uint32_t>(n)),
        line(column<std::uint32_t>(n)),
        move_flags(column<std::uint8_t>(n)),
        game(column<std::uint64_t>(n)),
        keys(matrix<float>(n, n_keys)),
        p{input.mutable_data(), line.mutable_data(), move_flags.mutable_data(), game.mutable_data(),
          keys.mutable_data()} {}

  // Block b's labels into rows from `row`.
  void fill(const PackBlock& b, std::size_t row) {
    for (std::size_t j = 0, i = row; j < b.n_positions; ++j, ++i) {
      moves.set(i, b.trailers[j], b.next_moves[j]);
      p.move_flags[i] = b.move_flags[j];
      p.game[i] = b.games[j];
      p.input[i] = b.inputs[j];
      p.line[i] = b.lines[j];
    }
    std::copy(b.keys.begin(), b.keys.end(), p.keys + row * (b.n_positions == 0 ? 0 : b.keys.size() / b.n_positions));
  }

  py::dict dict() const {
    py::dict d;
    moves.add_to(d);
    d["move_flags"] = move_flags;
    d["game"] = game;
    d["input"] = input;
    d["line"] = line;
    d["keys"] = keys;
    return d;
  }

 private:
  struct {
    std::uint32_t *input, *line;
    std::uint8_t* move_flags;
    std::uint64_t* game;
    float* keys;
  } p;
};

struct Pack {
  PackReader* reader = nullptr;
  std::mutex mutex;
  PackBlock block;           // the last block read, kept for the next access
  std::int64_t cached = -1;  // its number

  ~Pack() {
    std::lock_guard lock(mutex);  // no other thread can hold a reference any more
    close_locked();
  }
  void close_locked() {
    pack_close(reader);
    reader = nullptr;
    cached = -1;
  }
  void close() {
    py::gil_scoped_release unlocked;
    std::lock_guard lock(mutex);
    close_locked();
  }

  const PackInfo& info_locked() const {
    if (reader == nullptr) closed();
    return *pack_info(reader);
  }

  // Reads block k into `block` unless it is there already.
  Result read_locked(std::uint32_t k, Failure* failure) {
    if (cached == k) return OK;
    cached = -1;
    const Result read = pack_read_block(reader, k, &block, failure);
    if (read == OK) cached = k;
    return read;
  }

  // {n_positions, n_games, blocks: first position of each, keys: [(name, per_game)], inputs: [bytes]}
  py::dict info() {
    std::unique_lock lock = lock_pack();
    const PackInfo& i = info_locked();
    py::dict d;
    d["n_positions"] = i.n_positions;
    d["n_games"] = i.n_games;
    py::array_t<std::uint64_t> firsts(static_cast<py::ssize_t>(i.blocks.size()));
    for (std::size_t k = 0; k < i.blocks.size(); ++k) firsts.mutable_data()[k] = i.blocks[k].first_position;
    d["block_starts"] = firsts;
    py::list keys, inputs;
    for (const PackKey& key : i.keys) keys.append(py::make_tuple(key.name, key.per_game));
    for (const std::string& input : i.inputs) inputs.append(py::bytes(input));
    d["keys"] = keys;
    d["inputs"] = inputs;
    return d;
  }

  // The pack's lock, waited for without the interpreter's lock: a thread
  // holding the pack's lock may be waiting for the interpreter's.
  std::unique_lock<std::mutex> lock_pack() {
    py::gil_scoped_release unlocked;
    return std::unique_lock(mutex);
  }

  // Block k into `block` without the interpreter's lock (the pack's held).
  void read_released(std::uint32_t k) {
    Failure failure;
    Result read = OK;
    {
      py::gil_scoped_release unlocked;
      read = read_locked(k, &failure);
    }
    if (read != OK) q4d_python::raise_failure(failure);
  }

  // Block k's columns: piece_start, pieces (PieceWords), then the labels.
  py::dict read_block(std::uint32_t k) {
    std::unique_lock lock = lock_pack();
    const PackInfo& info = info_locked();
    read_released(k);
    const PackBlock& b = block;
    LabelColumns columns(b.n_positions, info.keys.size());
    columns.fill(b, 0);
    py::dict d = columns.dict();
    d["first_position"] = b.first_position;
    d["piece_start"] = py::array_t<std::uint32_t>(static_cast<py::ssize_t>(b.n_positions + 1), b.piece_start.data());
    d["pieces"] = py::array_t<std::uint32_t>(static_cast<py::ssize_t>(b.pieces.size()), b.pieces.data());
    return d;
  }

  // (fen4 text, pieces, ply, move_from, move_to, promo, flags, next_move_from, next_move_to, next_promo,
  //  move_flags, game, input, line, keys)
  py::tuple position(std::uint64_t k) {
    std::unique_lock lock = lock_pack();
    const PackInfo& info = info_locked();
    if (k >= info.n_positions) q4d_python::raise_result(ERR_ARGUMENT);
    read_released(pack_block_of(info, k));
    const PackBlock& b = block;
    const std::size_t j = k - b.first_position, n_keys = b.keys.size() / b.n_positions;
    const PieceWord* pieces = b.pieces.data() + b.piece_start[j];
    const std::size_t n = b.piece_start[j + 1] - b.piece_start[j];
    const PlyTrailer& t = b.trailers[j];
    const PackMove& next = b.next_moves[j];
    auto square = [](const std::uint8_t* c) { return py::make_tuple(c[0], c[1], c[2], c[3]); };
    py::list keys;
    for (std::size_t key = 0; key < n_keys; ++key) keys.append(b.keys[j * n_keys + key]);
    return py::make_tuple(fen4_text(pieces, n), py::array_t<std::uint32_t>(static_cast<py::ssize_t>(n), pieces), t.ply,
                          square(t.move_from), square(t.move_to), t.promo, t.flags, square(next.from), square(next.to),
                          next.promo, b.move_flags[j], b.games[j], b.inputs[j], b.lines[j], keys);
  }

  // Every block's labels as whole columns: {name: array}, the keys as one (n, K) array.
  py::dict labels() {
    std::unique_lock lock = lock_pack();
    const PackInfo& info = info_locked();
    LabelColumns columns(info.n_positions, info.keys.size());
    Failure failure;
    Result read = OK;
    {
      py::gil_scoped_release unlocked;
      for (std::uint32_t k = 0; read == OK && k < info.blocks.size(); ++k) {
        read = read_locked(k, &failure);
        if (read == OK) columns.fill(block, block.first_position);
      }
    }
    if (read != OK) q4d_python::raise_failure(failure);
    return columns.dict();
  }

  // Encodes positions `indices` (checked by the caller: 0 <= i < n) into
  // `out` (a new array when None) of `dtype` on `threads` threads; returns
  // the array written. Blocks are read in order of their numbers, each once
  // per chunk of rows.
  py::object encode_batch(const py::array_t<std::int64_t, py::array::c_style>& indices, int threads, py::object out,
                          const std::string& dtype_name) {
    const EncodingDtype dtype = q4d_python::dtype_named(dtype_name);
    const std::size_t n = static_cast<std::size_t>(indices.size());
    if (threads < 0 || threads > shared_pool_thread_limit()) q4d_python::raise_result(ERR_ARGUMENT);
    py::array array = out.is_none() ? q4d_python::new_batch_array(n, dtype) : py::reinterpret_borrow<py::array>(out);
    auto* values = static_cast<unsigned char*>(q4d_python::batch_output(array, n, dtype));
    const std::int64_t* wanted = indices.data();
    std::unique_lock lock(mutex, std::defer_lock);
    Failure failure;
    Result result = OK;
    {
      py::gil_scoped_release unlocked;
      lock.lock();
      result = reader == nullptr
                   ? ERR_NULL
                   : encode_locked(wanted, n, values, threads, q4d_python::batch_format(n, dtype), &failure);
    }
    if (result == ERR_NULL) closed();
    if (result != OK) q4d_python::raise_failure(failure);
    return array;
  }

  Result encode_locked(const std::int64_t* wanted, std::size_t n, unsigned char* values, int threads,
                       EncodingFormat format, Failure* failure) {
    const PackInfo& info = *pack_info(reader);
    EncoderPool* pool = nullptr;
    if (const Result shared = shared_encoder_pool(threads, &pool); shared != OK) return fail(failure, shared);
    try {
      const std::size_t chunk = std::min(n, ENCODE_CHUNK);
      std::unique_ptr<Board4D[]> boards(new Board4D[chunk]);
      std::vector<std::pair<std::uint64_t, std::size_t>> order(chunk);  // (position, row), by position
      for (std::size_t begin = 0; begin < n; begin += chunk) {
        const std::size_t m = std::min(chunk, n - begin);
        for (std::size_t r = 0; r < m; ++r) order[r] = {static_cast<std::uint64_t>(wanted[begin + r]), r};
        std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(m));
        for (std::size_t r = 0; r < m; ++r) {
          const auto [position, row] = order[r];
          if (position >= info.n_positions) return fail(failure, ERR_ARGUMENT);
          if (const Result read = read_locked(pack_block_of(info, position), failure); read != OK) return read;
          const std::size_t j = position - block.first_position;
          expand_board(block.pieces.data() + block.piece_start[j], block.piece_start[j + 1] - block.piece_start[j],
                       &boards[row]);
        }
        const Result encoded =
            encoder_pool_encode(pool, boards.get(), m, values + begin * encoding_bytes(format.dtype), format);
        if (encoded != OK) return fail(failure, encoded);
      }
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    return OK;
  }

  void verify() {
    std::unique_lock lock(mutex, std::defer_lock);
    Failure failure;
    Result result = OK;
    {
      py::gil_scoped_release unlocked;
      lock.lock();
      result = reader == nullptr ? ERR_NULL : pack_verify(reader, &failure);
    }
    if (result == ERR_NULL) closed();
    if (result != OK) q4d_python::raise_failure(failure);
  }
};

std::unique_ptr<Pack> open_pack(const std::string& path) {
  auto p = std::make_unique<Pack>();
  Failure failure;
  Result opened = OK;
  {
    py::gil_scoped_release unlocked;
    opened = pack_open(path.c_str(), &p->reader, &failure);
  }
  if (opened != OK) q4d_python::raise_failure(failure);
  return p;
}

}  // namespace

void bind_pack(py::module_& m) {
  m.def("pack", &pack, py::arg("inputs"), py::arg("output"), py::arg("keys"), py::arg("game_keys"), py::arg("threads"),
        py::arg("warn"));
  py::class_<Pack>(m, "Pack")
      .def("info", &Pack::info)
      .def("read_block", &Pack::read_block, py::arg("k"))
      .def("position", &Pack::position, py::arg("k"))
      .def("labels", &Pack::labels)
      .def("encode_batch", &Pack::encode_batch, py::arg("indices"), py::arg("threads"), py::arg("out"),
           py::arg("dtype"))
      .def("verify", &Pack::verify)
      .def("close", &Pack::close);
  m.def("open_pack", &open_pack, py::arg("path"));
  m.attr("PACK_THREADS_MAX") = PACK_THREADS_MAX;
}
