// The loader's part of the compiled module: a PositionStream object whose
// methods may be called from several Python threads at once (each takes the
// object's lock, with the interpreter's lock let go while it waits or works).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoder/encoding.h"
#include "base/batch_memory.h"
#include "loader/position_stream.h"
#include "encode_binding.h"
#include "errors.h"
#include "label_columns.h"

namespace py = pybind11;
using namespace q4d;
using q4d_python::column;
using q4d_python::MoveColumns;

namespace {

std::uint64_t get_u64(const py::dict& d, const char* key) { return d[key].cast<std::uint64_t>(); }

// A layout's size or a shard in it, refused rather than cut to 32 bits.
std::uint32_t shard_number(std::uint64_t v) {
  if (v > POSITION_STREAM_SHARDS_MAX) q4d_python::raise_result(LOADER_ERR_STATE);
  return static_cast<std::uint32_t>(v);
}

ShardState state_of(const py::dict& d) {
  ShardState st;
  st.n_shards = shard_number(get_u64(d, "n_shards"));
  st.shard = shard_number(get_u64(d, "shard"));
  st.epoch = get_u64(d, "epoch");
  st.received = get_u64(d, "received");
  st.length = get_u64(d, "length");
  st.least_length = get_u64(d, "least_length");
  for (const py::handle seg : d["plan"].cast<py::list>()) {
    const auto v = seg.cast<std::vector<std::uint64_t>>();
    if (v.size() != 4) throw py::value_error("a plan segment is [n_shards, shard, from, to]");
    st.plan.push_back({shard_number(v[0]), shard_number(v[1]), v[2], v[3]});
  }
  for (const py::handle source : d["sources"].cast<py::list>()) {
    const auto v = source.cast<std::vector<std::uint64_t>>();
    if (v.size() != 2) throw py::value_error("a source's state is [pass, received]");
    st.sources.push_back({v[0], v[1]});
  }
  return st;
}

py::dict dict_of(const ShardState& st) {
  py::dict d;
  d["n_shards"] = st.n_shards;
  d["shard"] = st.shard;
  d["epoch"] = st.epoch;
  d["received"] = st.received;
  d["length"] = st.length;
  d["least_length"] = st.least_length;
  py::list plan, sources;
  for (const ShardSegment& s : st.plan) plan.append(py::make_tuple(s.n_shards, s.shard, s.from, s.to));
  for (const SourceState& s : st.sources) sources.append(py::make_tuple(s.pass, s.received));
  d["plan"] = plan;
  d["sources"] = sources;
  return d;
}

// The labels of a batch as numpy columns under their names.
py::dict labels_of(const BatchLabels& l, const std::vector<std::string>& keys, std::size_t n, bool mixed) {
  MoveColumns moves(n);
  auto has_move = column<bool>(n), has_next = column<bool>(n);
  for (std::size_t k = 0; k < n; ++k) {
    moves.set(k, l.trailers[k], l.next_moves[k]);
    has_move.mutable_data()[k] = (l.move_flags[k] & PACK_HAS_MOVE) != 0;
    has_next.mutable_data()[k] = (l.move_flags[k] & PACK_HAS_NEXT_MOVE) != 0;
  }
  py::dict d;
  moves.add_to(d);
  d["has_move"] = has_move;
  d["has_next_move"] = has_next;
  for (std::size_t q = 0; q < keys.size(); ++q) {
    auto values = column<float>(n);
    for (std::size_t k = 0; k < n; ++k) values.mutable_data()[k] = l.keys[k * keys.size() + q];
    d[py::str(keys[q])] = values;
  }
  if (mixed) {
    auto source = column<std::uint8_t>(n);
    std::memcpy(source.mutable_data(), l.source.data(), n);
    d["source"] = source;
  }
  return d;
}

// A PositionStream and the memory of the batches it hands out.
struct Stream {
  PositionStream* stream = nullptr;
  BatchMemory* memory = nullptr;
  std::size_t batch_size = 0;
  EncodingDtype dtype = DTYPE_FLOAT32;
  bool mixed = false;
  std::vector<std::string> keys;
  std::mutex mutex;

  void close() {
    py::gil_scoped_release unlocked;
    std::lock_guard lock(mutex);
    position_stream_destroy(stream);
    stream = nullptr;
    batch_memory_release(memory);  // blocks still out are freed when their arrays go
    memory = nullptr;
  }
  ~Stream() {
    position_stream_destroy(stream);
    batch_memory_release(memory);
  }

  void begin(std::uint64_t epoch, const py::list& saved) {
    std::vector<ShardState> states;
    for (const py::handle d : saved) states.push_back(state_of(d.cast<py::dict>()));
    Failure failure;
    Result result = OK;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      result = stream == nullptr ? ERR_NULL : position_stream_begin(stream, epoch, states, &failure);
    }
    if (result == ERR_NULL) throw py::value_error("the stream is closed");
    if (result != OK) q4d_python::raise_failure(failure);
  }

  // (values, labels), values an (n, 45056) array (float32, or uint16 holding
  // bfloat16 bits) owning a block of batch memory that goes back for reuse
  // when the array is freed; None at the end of the epoch.
  py::object next() {
    struct Lease {
      BatchMemory* memory;
      void* block;
    };
    void* block = nullptr;
    std::size_t n = 0;
    Failure failure;
    Result result = OK;
    BatchLabels labels;  // this call's own, read after the lock is let go
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      if (stream == nullptr) {
        result = ERR_NULL;
      } else if ((block = batch_memory_take(memory, batch_size * encoding_bytes(dtype))) == nullptr) {
        result = fail(&failure, ERR_ALLOC);
      } else {
        result = position_stream_next(stream, block, &labels, &n, &failure);
        if (result != OK) {
          batch_memory_give(memory, block);
          block = nullptr;
        }
      }
    }
    if (result == END) return py::none();
    if (result == ERR_NULL) throw py::value_error("the stream is closed");
    if (result != OK) q4d_python::raise_failure(failure);
    py::capsule owner(new Lease{memory, block}, [](void* p) {
      auto* lease = static_cast<Lease*>(p);
      batch_memory_give(lease->memory, lease->block);
      delete lease;
    });
    const auto rows = static_cast<py::ssize_t>(n);
    const auto value_bytes = static_cast<py::ssize_t>(encoding_bytes(dtype) / ENCODING_DIM);
    py::array values(q4d_python::numpy_dtype(dtype), {rows, static_cast<py::ssize_t>(ENCODING_DIM)},
                     {value_bytes * ENCODING_DIM, value_bytes}, block, owner);
    return py::make_tuple(values, labels_of(labels, keys, n, mixed));
  }

  py::dict state() {
    ShardState st;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      position_stream_state(stream, &st);
    }
    return dict_of(st);
  }

  py::dict stats() {
    PositionStreamStats s;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      position_stream_stats(stream, &s);
    }
    py::dict d;
    d["positions"] = s.positions;
    d["batches"] = s.batches;
    d["lines_too_long"] = s.lines_too_long;
    d["fen4_errors"] = s.fen4_errors;
    d["bytes_read"] = s.bytes_read;
    d["buffered"] = s.buffered;
    d["epoch"] = s.epoch;
    d["read_seconds"] = s.read_seconds;
    d["assemble_seconds"] = s.assemble_seconds;
    d["encode_seconds"] = s.encode_seconds;
    return d;
  }
};

// Every argument has been checked by the package's Python code.
Stream* open_stream(const py::list& sources, std::size_t batch_size, std::size_t shuffle_buffer, std::uint64_t seed,
                    int threads, std::uint32_t shard, std::uint32_t n_shards, bool drop_last, const py::dict& filter,
                    const std::string& dtype) {
  PositionStreamOptions options;
  for (const py::handle source : sources) {
    const auto pair = source.cast<py::tuple>();
    options.sources.push_back({pair[0].cast<std::vector<std::string>>(), pair[1].cast<double>()});
  }
  options.batch_size = batch_size;
  options.shuffle_buffer = shuffle_buffer;
  options.seed = seed;
  options.threads = threads;
  options.shard = shard;
  options.n_shards = n_shards;
  options.drop_last = drop_last;
  options.dtype = q4d_python::dtype_named(dtype);
  PositionFilter& f = options.filter;
  // An absent bound (None) is no bound.
  const auto bound = [&](const char* name) {
    const auto v = filter[name].cast<std::optional<std::int64_t>>();
    return v.has_value() ? *v : std::int64_t{-1};
  };
  f.min_ply = bound("min_ply");
  f.max_ply = bound("max_ply");
  f.min_pieces = bound("min_pieces");
  f.max_pieces = bound("max_pieces");
  f.keep_fraction = filter["keep_fraction"].cast<double>();
  f.required_keys = filter["required_keys"].cast<std::vector<std::string>>();
  f.split = static_cast<SplitPart>(filter["split"].cast<int>());
  f.val_fraction = filter["val_fraction"].cast<double>();
  auto s = std::make_unique<Stream>();
  s->batch_size = batch_size;
  s->dtype = options.dtype;
  s->mixed = options.sources.size() > 1;
  Failure failure;
  Result result = OK;
  {
    py::gil_scoped_release unlocked;
    result = position_stream_create(options, &s->stream, &failure);
  }
  if (result != OK) q4d_python::raise_failure(failure);
  s->keys = position_stream_keys(s->stream);
  // Two blocks at rest: one being filled while the caller holds the last one.
  if (batch_memory_create(2, SIZE_MAX, &s->memory) != OK) q4d_python::raise_result(ERR_ALLOC);
  return s.release();
}

}  // namespace

void bind_stream(py::module_& m) {
  py::class_<Stream>(m, "Stream")
      .def("begin", &Stream::begin, py::arg("epoch"), py::arg("saved"))
      .def("next", &Stream::next)
      .def("state", &Stream::state)
      .def("stats", &Stream::stats)
      .def("close", &Stream::close)
      .def_readonly("keys", &Stream::keys);
  m.def("open_stream", &open_stream, py::arg("sources"), py::arg("batch_size"), py::arg("shuffle_buffer"),
        py::arg("seed"), py::arg("threads"), py::arg("shard"), py::arg("n_shards"), py::arg("drop_last"),
        py::arg("filter"), py::arg("dtype"), py::return_value_policy::take_ownership);
}
