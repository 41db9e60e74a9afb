#include "errors.h"

namespace py = pybind11;

namespace q4d_python {

void raise_result(q4d::Result result, const char* path, int error_number) {
  q4d::Failure failure;
  (void)q4d::fail(&failure, result, path, error_number);
  raise_failure(failure);
}

bool signal_raised(void*) {
  py::gil_scoped_acquire locked;
  return PyErr_CheckSignals() != 0;
}

void register_errors(py::module_& m) {
  py::dict results;
  int n = 0;
  const q4d::ResultInfo* table = q4d::result_table(&n);
  for (int k = 0; k < n; ++k) results[table[k].name] = py::make_tuple(static_cast<int>(table[k].result), table[k].words);
  m.attr("RESULTS") = results;
  py::dict groups;
  groups["system"] = q4d::RESULTS_SYSTEM;
  groups["text"] = q4d::RESULTS_TEXT;
  groups["frames"] = q4d::RESULTS_FRAMES;
  groups["pack"] = q4d::RESULTS_PACK;
  groups["loader"] = q4d::RESULTS_LOADER;
  groups["end"] = q4d::RESULTS_END;
  m.attr("RESULT_GROUPS") = groups;

  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const LibraryError& error) {
      // Interrupted by a signal whose handler raised: that exception stands.
      if (PyErr_Occurred() != nullptr) return;
      const q4d::Failure& f = error.failure;
      // The classes live in Python (quorvane4d/errors.py), where they are
      // documented and can be caught by name.
      py::object exception = py::module_::import("quorvane4d.errors")
                                 .attr("from_failure")(static_cast<int>(f.result), py::bytes(f.path), f.error_number,
                                                       f.line, f.block, f.index, f.fen4_error,
                                                       error.format != nullptr ? py::object(py::str(error.format)) : py::object(py::none()));
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    }
  });
}

}  // namespace q4d_python
