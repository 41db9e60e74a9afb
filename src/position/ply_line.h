// One line of a ply log, read as `encode` reads it: what PlyLogReader does
// with each line, and what the packer does with lines it parses on several
// threads; not installed.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "position/board.h"
#include "position/ply_trailer.h"

namespace q4d {

// Bits of read_ply_line's *fields: which trailer values the line gave.
inline constexpr unsigned LINE_HAS_PLY = 1;   // a ply of 0 or more
inline constexpr unsigned LINE_HAS_MOVE = 2;  // both move_from and move_to

// True for a metadata line (one that mentions bridge_version), which holds
// no position whatever else it holds.
bool is_metadata_line(const char* line);

// Everything `encode` takes from one line: the fen4 string, copied into
// `fen4_buf` (FEN4_BUF_SIZE bytes) and parsed into `board`, and the trailer
// from the ply, move_from, move_to, promo and flags keys. Absent or
// unreadable values are 0, the ply included (the reader puts its default in
// when *fields lacks LINE_HAS_PLY); integers are stored by their low 32 or 8
// bits. Returns OK; PLY_LOG_METADATA; KEY_ABSENT or KEY_NO_VALUE when there
// is no readable fen4 string (a line passed over without a word);
// PLY_LOG_TOO_LONG; or PLY_LOG_BAD_FEN4, with parse_fen4's code in
// *fen4_error.
Result read_ply_line(const char* line, char* fen4_buf, Board4D* board, PlyTrailer* trailer, unsigned* fields,
                     int* fen4_error);

}  // namespace q4d
