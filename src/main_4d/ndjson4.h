// Reading values out of one line of an NDJSON4 ply log.
//
// Lines are not parsed as JSON. A value is found by a textual search for the
// first occurrence of "key": anywhere in the line (case-sensitive, no space
// before the colon; also inside nested objects or other values), after which
// only spaces and tabs are skipped. Each function takes a NUL-terminated line
// and returns 0 when it found a readable value, or a negative code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frames/container.h"
#include "position/board.h"

namespace q4d {

enum Ndjson4Result {
  NDJSON4_OK = 0,
  NDJSON4_ERR_NULL = -1,      // line, key or output absent, or key too long
  NDJSON4_ERR_NO_KEY = -2,    // "key": does not occur in the line
  NDJSON4_ERR_NO_VALUE = -3,  // the key is there but its value is not readable
};

// A double-quoted string value: every byte up to the next double quote, with
// no escape processing. *start points into the line; the line must hold the
// closing quote.
int ndjson4_find_string(const char* line, const char* key, const char** start, std::size_t* length);

// Base-10 integer starting at `text` with an optional "-" then digits,
// saturating at the int64 limits; stops at the first other byte, so "1.5"
// reads 1 and a lone "-" reads 0. Returns the end of the digits.
const char* ndjson4_parse_integer(const char* text, std::int64_t* value);

// An integer value: must start with "-" or a digit (a quoted or other value
// counts as absent).
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

}  // namespace q4d
