// The compiled part of the Python package quorvane4d: thin wrappers over the
// library that let go of the interpreter's lock while they read or encode.
// Failures come back as the library's codes; the package's Python code turns
// them into exceptions.
#include <pybind11/pybind11.h>

#include "encoder/encoding.h"
#include "frames/container.h"
#include "encode_binding.h"
#include "errors.h"

namespace py = pybind11;
using namespace q4d;

void bind_ply_log(py::module_& m);
void bind_pack(py::module_& m);
void bind_container(py::module_& m);
void bind_stream(py::module_& m);

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

  bind_stream(m);
}
