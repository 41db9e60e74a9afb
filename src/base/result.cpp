#include "base/result.h"

namespace q4d {

const char* result_name(int result) {
  switch (result) {
    case OK: return "ok";
    case ERR_NULL: return "absent argument";
    case FEN4_ERR_PREFIX: return "missing \"4d-fen v1:\" prefix";
    case FEN4_ERR_PIECE: return "bad piece token";
    case FEN4_ERR_COORD: return "bad coordinates";
    case FEN4_ERR_DUPLICATE: return "square given twice";
    case FEN4_ERR_SEPARATOR: return "expected \";\" or the end after an entry";
    case END: return "no more data";
    case ERR_ALLOC: return "out of memory";
    case ERR_ARGUMENT: return "invalid argument";
    case ERR_THREADS: return "cannot start threads";
    case ERR_OPEN: return "cannot open the file";
    case ERR_CREATE: return "cannot create the output";
    case ERR_READ: return "read error";
    case ERR_WRITE: return "write failed";
    case ERR_SEEK: return "cannot position the stream";
    case ERR_CLOSE: return "writing the end of the output failed";
    case ERR_TMPFILE: return "cannot create or write a temporary file";
    case ERR_NOT_REGULAR: return "not a regular file";
    case ERR_INTERRUPTED: return "interrupted";
    case ERR_RENAME: return "cannot rename the finished output into place";
  }
  return "unknown result";
}

}  // namespace q4d
