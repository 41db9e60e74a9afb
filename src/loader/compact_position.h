// A position kept small until the batch that holds it is encoded: its
// occupied squares only, one 32-bit word each, about 400 bytes for 96 pieces
// instead of the board's 8192. Loaders hold these in their shuffle buffers
// and expand them into boards when a batch is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames/container.h"
#include "position/board.h"

namespace q4d {

// square | pawn_axis << 12 | letter << 20
using PieceWord = std::uint32_t;

struct CompactPosition {
  std::vector<PieceWord> pieces;  // in square order
  PlyTrailer trailer;
};

// The occupied squares of `board` into `pieces` (replacing what it held; its
// memory is reused).
void compact_board(const Board4D& board, std::vector<PieceWord>* pieces);

// The board of `n` piece words: every other square empty.
void expand_board(const PieceWord* pieces, std::size_t n, Board4D* board);

}  // namespace q4d
