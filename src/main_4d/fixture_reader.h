// Fixture files: JSON lines naming test positions, for example
//
//   {"name": "k_vs_k", "pieces": {"0": "K", "4095": "k", "520": "Py"}}
//
// Lines are not parsed as JSON: only the "name" and "pieces" members are
// found, by text search within one line. A pieces key is a square index
// (0..4095, leading zeros allowed); a value is one piece letter, stored as it
// is, or P/p followed by the pawn's axis, w or y.
#pragma once

#include <cstdio>

#include "position/board.h"

namespace q4d {

inline constexpr int FIXTURE_LINE_BUF_SIZE = 4096;  // longer lines are read in pieces
inline constexpr int FIXTURE_NAME_MAX = 63;         // names compare by their first 63 characters

enum FixtureResult {
  FIXTURE_FOUND = 0,
  FIXTURE_ERR_NULL = -1,
  FIXTURE_NOT_FOUND = -2,   // not this line / no line of the stream names the fixture
  FIXTURE_NO_PIECES = -3,   // the named line has no "pieces" object
  FIXTURE_MALFORMED = -4,   // the pieces object does not follow the rules above
};

// Examines one line as read by fgets (newline kept). `cut` says the line
// filled the buffer and continues in the next piece. If the line names the
// fixture, fills `board` from its pieces object.
int read_fixture_line(const char* line, bool cut, const char* name, Board4D* board);

// Reads `stream` up to the first line that names the fixture and fills
// `board` from it. Returns FIXTURE_NOT_FOUND if no line names it.
int read_fixture(std::FILE* stream, const char* name, Board4D* board);

}  // namespace q4d
