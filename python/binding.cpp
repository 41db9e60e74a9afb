// The compiled part of the Python package quorvane4d: thin wrappers over the
// library that let go of the interpreter's lock while they read or encode.
// Failures come back as the library's codes; the package's Python code turns
// them into exceptions.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/batch_memory.h"
#include "encoder/encoding.h"
#include "frames/container.h"
#include "loader/position_stream.h"
#include "position/fen4.h"
#include "encode_binding.h"
#include "errors.h"

namespace py = pybind11;
using namespace q4d;

void bind_ply_log(py::module_& m);
void bind_pack(py::module_& m);
void bind_container(py::module_& m);

namespace {

// A PositionStream and the memory of the batches it hands out.
struct Stream {
  PositionStream* stream = nullptr;
  BatchMemory* memory = nullptr;
  std::size_t batch_size = 0;
  std::mutex mutex;

  void close() {
    std::lock_guard lock(mutex);
    position_stream_destroy(stream);
    stream = nullptr;
    batch_memory_release(memory);  // blocks still out are freed when their arrays go
    memory = nullptr;
  }
  ~Stream() { close(); }

  // (code, values, trailer bytes): values an (n, 45056) array owning a block
  // of batch memory, which goes back for reuse when the array is freed.
  py::tuple next() {
    struct Lease {
      BatchMemory* memory;
      void* block;
    };
    py::array_t<std::uint8_t> trailers(static_cast<py::ssize_t>(batch_size * TRAILER_SIZE));
    std::uint8_t* trailer_bytes = trailers.mutable_data();
    void* block = nullptr;
    std::size_t n = 0;
    int code = STREAM_OK;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      if (stream == nullptr) {
        code = STREAM_ERR_NULL;
      } else if ((block = batch_memory_take(memory, batch_size * ENCODING_DIM * sizeof(float))) == nullptr) {
        code = STREAM_ERR_ALLOC;
      } else {
        code = position_stream_next(stream, static_cast<float*>(block), trailer_bytes, &n);
        if (code != STREAM_OK || n == 0) {
          batch_memory_give(memory, block);
          block = nullptr;
        }
      }
    }
    if (block == nullptr) return py::make_tuple(code, py::none(), py::none());
    py::capsule owner(new Lease{memory, block}, [](void* p) {
      auto* lease = static_cast<Lease*>(p);
      batch_memory_give(lease->memory, lease->block);
      delete lease;
    });
    const auto rows = static_cast<py::ssize_t>(n);
    py::array values(py::dtype::of<float>(), {rows, static_cast<py::ssize_t>(ENCODING_DIM)},
                     {static_cast<py::ssize_t>(ENCODING_DIM * sizeof(float)), static_cast<py::ssize_t>(sizeof(float))},
                     block, owner);
    return py::make_tuple(code, values, trailers[py::slice(0, rows * TRAILER_SIZE, 1)]);
  }

  py::tuple failure() {
    const char* path = "";
    int error_number = 0;
    position_stream_failure(stream, &path, &error_number);
    return py::make_tuple(std::string(path), error_number);
  }

  py::dict stats() {
    PositionStreamStats s;
    position_stream_stats(stream, &s);
    py::dict d;
    d["positions"] = s.positions;
    d["batches"] = s.batches;
    d["lines_too_long"] = s.lines_too_long;
    d["fen4_errors"] = s.fen4_errors;
    d["buffered"] = s.buffered;
    d["epoch"] = s.epoch;
    d["read_seconds"] = s.read_seconds;
    d["encode_seconds"] = s.encode_seconds;
    return d;
  }
};

// (code, Stream or None)
py::tuple open_stream(const std::vector<std::string>& paths, std::size_t batch_size, std::size_t shuffle_buffer,
                      std::uint64_t seed, int threads, int epochs, int shard, int n_shards) {
  PositionStreamOptions options;
  options.paths = paths;
  options.batch_size = batch_size;
  options.shuffle_buffer = shuffle_buffer;
  options.seed = seed;
  options.threads = threads;
  options.epochs = epochs;
  options.shard = shard;
  options.n_shards = n_shards;
  auto s = std::make_unique<Stream>();
  s->batch_size = batch_size;
  int code = STREAM_OK;
  {
    py::gil_scoped_release unlocked;
    code = position_stream_create(options, &s->stream);
  }
  if (code != STREAM_OK) return py::make_tuple(code, py::none());
  // Two blocks at rest: one being filled while the caller holds the last one.
  if (batch_memory_create(2, SIZE_MAX, &s->memory) != OK) {
    return py::make_tuple(STREAM_ERR_ALLOC, py::none());
  }
  return py::make_tuple(code, py::cast(s.release(), py::return_value_policy::take_ownership));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled part of quorvane4d; use the package, not this module.";
  m.attr("__version__") = QUORVANE_VERSION;
  q4d_python::register_errors(m);
  m.attr("ENCODING_DIM") = ENCODING_DIM;
  m.attr("N_CHANNELS") = N_CHANNELS;
  m.attr("CHANNEL_SIZE") = CHANNEL_SIZE;
  m.attr("TRAILER_SIZE") = TRAILER_SIZE;
  m.def("result_name", &result_name, py::arg("code"));
  q4d_python::bind_encode(m);

  bind_ply_log(m);
  bind_pack(m);

  bind_container(m);

  py::class_<Stream>(m, "Stream")
      .def("next", &Stream::next)
      .def("failure", &Stream::failure)
      .def("stats", &Stream::stats)
      .def("close", &Stream::close);
  m.def("open_stream", &open_stream, py::arg("paths"), py::arg("batch_size"), py::arg("shuffle_buffer"),
        py::arg("seed"), py::arg("threads"), py::arg("epochs"), py::arg("shard"), py::arg("n_shards"));
}
