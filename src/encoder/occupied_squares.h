// The occupied squares of a board (non-zero letters), found once per
// encoding and read by every stage in ascending order.
#pragma once

#include <cstdint>

#include "encoder/isa.h"
#include "position/board.h"

namespace q4d {

// Lists the squares whose letter is not 0, ascending, into `out` (room for
// N_SQUARES entries); returns how many there are. Boards are mostly empty, so
// many letters are tested at once.
int list_occupied_squares(Isa isa, const PieceLetters& pieces, std::int16_t* out);

}  // namespace q4d
