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
#include "frames/container_file.h"
#include "position/fen4.h"
#include "encode_binding.h"
#include "errors.h"

namespace py = pybind11;
using namespace q4d;

void bind_ply_log(py::module_& m);
void bind_stream(py::module_& m);  // stream_binding.cpp

namespace {

py::tuple trailer_tuple(const PlyTrailer& t) {
  return py::make_tuple(t.ply, py::make_tuple(t.move_from[0], t.move_from[1], t.move_from[2], t.move_from[3]),
                        py::make_tuple(t.move_to[0], t.move_to[1], t.move_to[2], t.move_to[3]), t.promo, t.flags);
}

// A container read frame by frame by the library's reader.
struct Container {
  ContainerReader* reader = nullptr;
  std::mutex mutex;

  void close() {
    std::lock_guard lock(mutex);
    container_reader_close(reader);
    reader = nullptr;
  }
  ~Container() { close(); }

  // (version, encoding_dim, frame_size, n_frames, board_side, n_dims, codec, offset of frame 0 or -1)
  py::tuple info() {
    const ContainerInfo* i = container_reader_info(reader);
    if (i == nullptr) throw py::value_error("the container is closed");
    const FileHeader& h = i->header;
    return py::make_tuple(h.version, h.encoding_dim, h.frame_size, h.n_frames, h.board_side, h.n_dims,
                          container_codec_name(i->codec), i->frame_offset);
  }

  // (code, values, trailer bytes): the next frame, values a new (45056,) array.
  py::tuple read() {
    py::array_t<float> values(ENCODING_DIM);
    float* data = values.mutable_data();
    PlyTrailer trailer{};
    int code = CONTAINER_READ_ERR_NULL;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      if (reader != nullptr) code = container_reader_read(reader, data, &trailer);
    }
    if (code != CONTAINER_READ_OK) return py::make_tuple(code, py::none(), py::none());
    return py::make_tuple(code, values, trailer_tuple(trailer));
  }
};

// (code, Container or None)
py::tuple open_container(const std::string& path, bool verify) {
  auto c = std::make_unique<Container>();
  ContainerReadOptions options;
  options.verify = verify;
  int code = CONTAINER_READ_OK;
  {
    py::gil_scoped_release unlocked;
    code = container_reader_open(path.c_str(), options, &c->reader);
  }
  if (code != CONTAINER_READ_OK) return py::make_tuple(code, py::none());
  return py::make_tuple(code, py::cast(c.release(), py::return_value_policy::take_ownership));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled part of quorvane4d; use the package, not this module.";
  q4d_python::register_errors(m);
  m.attr("ENCODING_DIM") = ENCODING_DIM;
  m.attr("N_CHANNELS") = N_CHANNELS;
  m.attr("CHANNEL_SIZE") = CHANNEL_SIZE;
  m.attr("TRAILER_SIZE") = TRAILER_SIZE;
  m.def("result_name", &result_name, py::arg("code"));
  q4d_python::bind_encode(m);

  bind_ply_log(m);

  m.attr("CONTAINER_READ_ERR_END") = static_cast<int>(CONTAINER_READ_ERR_END);
  m.attr("CONTAINER_READ_ERR_FRAME") = static_cast<int>(CONTAINER_READ_ERR_FRAME);
  m.def("container_read_error_name", &container_read_error_name, py::arg("code"));
  py::class_<Container>(m, "Container")
      .def("info", &Container::info)
      .def("read", &Container::read)
      .def("close", &Container::close);
  m.def("open_container", &open_container, py::arg("path"), py::arg("verify"));

  bind_stream(m);
}
