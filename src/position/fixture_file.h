// Fixture files: JSON lines naming test positions, for example
//
//   {"name": "k_vs_k", "pieces": {"0": "K", "4095": "k", "520": "Py"}}
//
// Lines are not parsed as JSON: only the "name" and "pieces" members are
// found, by key within one line (position/key_scan.h). A pieces key is a
// square index (0..4095, leading zeros allowed); a value is one piece letter,
// stored as it is, or P/p followed by the pawn's axis, w or y.
#pragma once

#include <cstdio>

#include "position/board.h"

namespace q4d {

enum FixtureResult {
  FIXTURE_FOUND = 0,
  FIXTURE_ERR_NULL = -1,
  FIXTURE_NOT_FOUND = -2,   // not this line / no line of the stream names the fixture
  FIXTURE_NO_PIECES = -3,   // the named line has no "pieces" object
  FIXTURE_MALFORMED = -4,   // the pieces object does not follow the rules above
  FIXTURE_ERR_READ = -5,    // the stream reported a read error, or a line did not fit in memory
};

// Examines one whole line. If its name member is exactly `name`, fills
// `board` from its pieces object; the end of the text closes the object.
int read_fixture_line(const char* line, const char* name, Board4D* board);

// Reads `stream`, whole lines of any length, up to the first line that names
// the fixture and fills `board` from it. Returns FIXTURE_NOT_FOUND if no line
// names it.
int read_fixture(std::FILE* stream, const char* name, Board4D* board);

}  // namespace q4d
