// Failures of the library, raised in Python as the package's exceptions
// (quorvane4d.errors): binding code throws LibraryError, and the translator
// registered by register_errors turns it into the right class with the
// failure's code, path, line, block and index.
#pragma once

#include <pybind11/pybind11.h>

#include "base/result.h"

namespace q4d_python {

struct LibraryError {
  q4d::Failure failure;
  const char* format;
};

// `format` names the kind of file read ("container", "ply_log", "pack",
// "source") for failures that more than one kind can give (a compressed
// stream's): a format error is then raised as that kind's class
// (ContainerError, ...). Null: the class follows from the result alone.
[[noreturn]] inline void raise_failure(const q4d::Failure& failure, const char* format = nullptr) {
  throw LibraryError{failure, format};
}
[[noreturn]] void raise_result(q4d::Result result, const char* path = nullptr, int error_number = 0);

// For the library's long loops (ContainerReadOptions::interrupted, ...),
// asked with the interpreter's lock released: takes the lock and lets Python
// run its signal handlers. True when one raised (Ctrl-C's KeyboardInterrupt):
// the loop then stops with ERR_INTERRUPTED, and raising that failure raises
// the handler's exception instead.
bool signal_raised(void* unused);

// Exports every result as _core.RESULTS ({name: (value, words)}) and the
// first value of each group as _core.RESULT_GROUPS, and registers the
// translator.
void register_errors(pybind11::module_& m);

}  // namespace q4d_python
