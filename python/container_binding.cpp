// Containers in the compiled module: the library's reader behind a lock, so
// that a container read on one thread can be closed on another. Failures
// raise the package's exceptions (ContainerError, FileError, ...).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <mutex>
#include <string>

#include "errors.h"
#include "frames/container_file.h"

namespace py = pybind11;
using namespace q4d;

namespace {

py::tuple trailer_tuple(const PlyTrailer& t) {
  return py::make_tuple(t.ply, py::make_tuple(t.move_from[0], t.move_from[1], t.move_from[2], t.move_from[3]),
                        py::make_tuple(t.move_to[0], t.move_to[1], t.move_to[2], t.move_to[3]), t.promo, t.flags);
}

// One open container. Every method takes the lock, and none uses the reader
// after close() has freed it.
struct Container {
  ContainerReader* reader = nullptr;
  std::mutex mutex;

  ~Container() { close_locked(); }  // no other thread holds it any more

  // Waits for a read under way on another thread, without the interpreter's lock.
  void close() {
    py::gil_scoped_release unlocked;
    close_locked();
  }
  void close_locked() {
    std::lock_guard lock(mutex);
    container_reader_close(reader);
    reader = nullptr;
  }

  // (version, encoding_dim, frame_size, n_frames, board_side, n_dims, codec, offset of frame 0 or -1)
  py::tuple info() {
    ContainerInfo i{};
    bool closed = false;
    {
      py::gil_scoped_release unlocked;  // a read may hold the lock a while
      std::lock_guard lock(mutex);
      closed = reader == nullptr;
      if (!closed) i = *container_reader_info(reader);
    }
    if (closed) throw py::value_error("the container is closed");
    const FileHeader& h = i.header;
    return py::make_tuple(h.version, h.encoding_dim, h.frame_size, h.n_frames, h.board_side, h.n_dims,
                          container_codec_name(i.codec), i.frame_offset);
  }

  // (values, trailer) of the next frame, values a new (45056,) array; None
  // after the last one.
  py::object read() {
    py::array_t<float> values(ENCODING_DIM);
    float* data = values.mutable_data();
    PlyTrailer trailer{};
    Failure failure;
    Result read = OK;
    bool closed = false;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex);
      closed = reader == nullptr;
      if (!closed) read = container_reader_read(reader, data, &trailer, &failure);
    }
    if (closed) throw py::value_error("the container is closed");
    if (read == END) return py::none();
    if (read != OK) q4d_python::raise_failure(failure, "container");
    return py::make_tuple(values, trailer_tuple(trailer));
  }
};

std::unique_ptr<Container> open_container(const std::string& path, bool verify) {
  auto c = std::make_unique<Container>();
  ContainerReadOptions options;
  options.verify = verify;
  options.interrupted = q4d_python::signal_raised;
  Failure failure;
  Result opened = OK;
  {
    py::gil_scoped_release unlocked;
    opened = container_reader_open(path.c_str(), options, &c->reader, &failure);
  }
  if (opened != OK) q4d_python::raise_failure(failure, "container");
  return c;
}

}  // namespace

void bind_container(py::module_& m) {
  py::class_<Container>(m, "Container")
      .def("info", &Container::info)
      .def("read", &Container::read)
      .def("close", &Container::close);
  m.def("open_container", &open_container, py::arg("path"), py::arg("verify"));
}
