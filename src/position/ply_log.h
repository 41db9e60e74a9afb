// NDJSON4 ply logs: one JSON object per line, one position per line, e.g.
//
//   {"ply": 3, "fen4": "4d-fen v1: K@0,0,0,4; k@7,7,7,4", "move_from": [1, 0, 0, 4],
//    "move_to": [2, 0, 0, 4], "promo": 0, "flags": 0}
//
// Lines are not parsed as JSON: each value is found by key (key_scan.h)
// and read with the tolerances below. `encode` and the Python package read
// ply logs through PlyLogReader, so both accept and skip the same lines and
// give the same trailers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "board.h"  // public headers include each other by relative path
#include "ply_trailer.h"

namespace q4d {

// Base-10 integer starting at `text` with an optional "-" then digits,
// saturating at the int64 limits; stops at the first other byte, so "1.5"
// reads 1 and a lone "-" reads 0. Returns the end of the digits.
const char* ndjson4_parse_integer(const char* text, std::int64_t* value);

// An integer value: must start with "-" or a digit (a quoted or other value
// counts as absent). Returns a KeyScanResult.
int find_int_key(const char* line, const char* key, std::int64_t* value);

// A list of exactly four integers, "[a, b, c, d]", with spaces and tabs
// allowed around the elements. Each element is a run of minus signs and
// digits, read as ndjson4_parse_integer reads it. On any deviation the whole
// list counts as absent and `values` is left untouched.
int find_int_array4(const char* line, const char* key, std::int64_t values[4]);

inline constexpr int LINE_BUF_SIZE = 81920;  // longer lines are read, and counted, in pieces
inline constexpr int FEN4_BUF_SIZE = 65536;  // one FEN4 string and its NUL

enum PlyLineResult {
  PLY_LINE_OK = 0,
  PLY_LINE_ERR_NULL = -1,
  PLY_LINE_SKIPPED = -2,    // a bridge_version line, or no readable fen4 string
  PLY_LINE_TOO_LONG = -3,   // the fen4 string does not fit FEN4_BUF_SIZE
  PLY_LINE_BAD_FEN4 = -4,   // parse_fen4 failed; its code is in *fen4_error
};

// Everything `encode` takes from one line: the fen4 string, copied into
// `fen4_buf` (FEN4_BUF_SIZE bytes) and parsed into `board`, and the trailer
// from the ply, move_from, move_to, promo and flags keys. Absent or
// unreadable values keep their defaults (ply: `frames_written`; others 0);
// integers are stored by their low 32 or 8 bits.
int read_ply_line(const char* line, std::uint32_t frames_written, char* fen4_buf, Board4D* board,
                  PlyTrailer* trailer, int* fen4_error);

// A ply log read from a stream, position by position. Lines are read as
// fgets reads them into LINE_BUF_SIZE bytes: a longer line comes in pieces,
// each counted and handled as a line of its own. Lines without a readable
// fen4 string, and metadata lines, are passed over without a word.
//
// A reader may be limited to the lines that start within a range of bytes of
// a regular file, so that several readers share a file without overlap: each
// line belongs to the range holding its first byte. The default ply of a line
// is still its position in the whole file (counted on demand).
struct PlyLogReader {
  std::FILE* stream = nullptr;
  char* line = nullptr;            // the last piece read, NUL-terminated
  char* fen4 = nullptr;            // after PLY_LOG_OK: the position's FEN4 text
  std::uint32_t line_number = 0;   // pieces read, from the start of the range
  std::uint32_t positions = 0;     // positions read, from the start of the range
  int fen4_error = 0;              // after PLY_LOG_BAD_FEN4: parse_fen4's code

  // The range [begin, end) and where reading stands in it (offsets only when
  // the range is bounded, so that pipes can be read).
  std::int64_t begin = 0;
  std::int64_t end = -1;           // -1: to the end of the stream
  std::int64_t offset = 0;
  bool started = false;
  bool at_line_start = true;
  std::uint32_t positions_before = 0;  // positions in the lines before `begin`
  bool positions_before_known = true;
};

enum PlyLogResult {
  PLY_LOG_OK = 0,           // a position: board, trailer and reader->fen4 are set
  PLY_LOG_ERR_NULL = -1,
  PLY_LOG_END = -2,         // no more lines in the stream or the range
  PLY_LOG_ERR_READ = -3,    // the stream reported a read error, or could not be positioned
  PLY_LOG_ERR_ALLOC = -4,   // the buffers could not be allocated
  PLY_LOG_TOO_LONG = -5,    // this line's fen4 string does not fit FEN4_BUF_SIZE; skipped
  PLY_LOG_BAD_FEN4 = -6,    // this line's fen4 string does not parse; skipped
  PLY_LOG_ERR_RANGE = -7,   // a range that ends before it begins, or is set after reading began
};

// Allocates the reader's two buffers (LINE_BUF_SIZE and FEN4_BUF_SIZE bytes)
// for reading `stream` from its current position. On failure nothing stays
// allocated.
[[nodiscard]] int ply_log_open(PlyLogReader* reader, std::FILE* stream);

// Limits the reader to the lines that start at a byte offset in [begin, end)
// of its stream, which must be a regular file read from its start. Call it
// before the first ply_log_next.
[[nodiscard]] int ply_log_set_range(PlyLogReader* reader, std::int64_t begin, std::int64_t end);

// Reads lines up to the next position or the next line that fails to give
// one for a reason worth reporting (PLY_LOG_TOO_LONG, PLY_LOG_BAD_FEN4; the
// reader's line_number names the line). After those two the caller goes on.
[[nodiscard]] int ply_log_next(PlyLogReader* reader, Board4D* board, PlyTrailer* trailer);

// The meaning of a PlyLogResult in words; "unknown error" for any other number.
const char* ply_log_error_name(int code);

// Frees the buffers; the stream stays open. Safe to call twice.
void ply_log_close(PlyLogReader* reader);

}  // namespace q4d
