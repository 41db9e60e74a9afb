// NDJSON4 ply logs in the package: read_ply_log's reader, read as `encode`
// reads a log, plain or compressed. Each reader's calls are safe against each
// other (close while another thread reads); a read that waits or scans long
// gives the interpreter a chance to raise KeyboardInterrupt.
#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <string>

#include "errors.h"
#include "position/ply_log.h"

namespace py = pybind11;
using namespace q4d;

namespace {

// An NDJSON4 file read as `encode` reads it.
struct PlyLog {
  PlyLogReader* reader = nullptr;
  std::unique_ptr<Board4D> board = std::make_unique<Board4D>();
  std::mutex mutex;

  void close_locked() {
    ply_log_close(reader);
    reader = nullptr;
  }
  void close() {
    py::gil_scoped_release unlocked;
    std::lock_guard lock(mutex);
    close_locked();
  }
  ~PlyLog() {
    std::lock_guard lock(mutex);  // no other thread can hold a reference any more
    close_locked();
  }

  // (code, line number, fen4 error, fen4 text, (ply, move_from, move_to, promo, flags)): code is OK,
  // END, PLY_LOG_TOO_LONG or PLY_LOG_BAD_FEN4; a failure of the file is raised.
  py::tuple next() {
    for (;;) {
      Result code = END;
      PlyTrailer t{};
      Failure failure;
      std::string fen4;
      std::uint64_t line = 0;
      {
        py::gil_scoped_release unlocked;
        std::lock_guard lock(mutex);
        if (reader != nullptr) code = ply_log_next(reader, board.get(), &t, &failure);
        if (code == OK) {
          fen4 = ply_log_fen4(reader);
          line = ply_log_line_number(reader);
        } else if (code == PLY_LOG_TOO_LONG || code == PLY_LOG_BAD_FEN4) {
          line = static_cast<std::uint64_t>(failure.line);
        } else if (code != PAUSED) {
          close_locked();
        }
      }
      if (code == PAUSED) {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        continue;
      }
      if (code != OK && code != END && code != PLY_LOG_TOO_LONG && code != PLY_LOG_BAD_FEN4) {
        q4d_python::raise_failure(failure);
      }
      return py::make_tuple(
          static_cast<int>(code), line, failure.fen4_error,
          code == OK ? py::object(py::bytes(fen4)) : py::object(py::none()),
          py::make_tuple(t.ply, py::make_tuple(t.move_from[0], t.move_from[1], t.move_from[2], t.move_from[3]),
                         py::make_tuple(t.move_to[0], t.move_to[1], t.move_to[2], t.move_to[3]), t.promo, t.flags));
    }
  }
};

std::unique_ptr<PlyLog> open_ply_log(const std::string& path) {
  auto log = std::make_unique<PlyLog>();
  Failure failure;
  if (ply_log_open(path.c_str(), PlyLogOptions{}, &log->reader, &failure) != OK) q4d_python::raise_failure(failure);
  return log;
}

}  // namespace

void bind_ply_log(py::module_& m) {
  m.attr("FEN4_BUF_SIZE") = FEN4_BUF_SIZE;
  py::class_<PlyLog>(m, "PlyLog").def("next", &PlyLog::next).def("close", &PlyLog::close);
  m.def("open_ply_log", &open_ply_log, py::arg("path"));
}
