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

#include "base/result.h"
#include "position/board.h"

namespace q4d {

// What read_fixture returns when it has filled the board.
inline constexpr Result FIXTURE_FOUND = OK;

// Examines one whole line. If its name member is exactly `name`, fills
// `board` from its pieces object (the end of the text closes the object):
// OK, FIXTURE_ERR_NO_PIECES or FIXTURE_ERR_MALFORMED. A line that names
// another fixture is FIXTURE_ERR_NOT_FOUND.
Result read_fixture_line(const char* line, const char* name, Board4D* board);

// Reads `stream`, whole lines of any length, up to the first line that names
// the fixture and fills `board` from it: as read_fixture_line, with
// FIXTURE_ERR_NOT_FOUND when no line names it, ERR_READ for a read error and
// ERR_ALLOC for a line that does not fit in memory.
Result read_fixture(std::FILE* stream, const char* name, Board4D* board);

}  // namespace q4d
