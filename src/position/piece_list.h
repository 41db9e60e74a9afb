// A position kept small: its occupied squares only, one 32-bit word each,
// about 400 bytes for 96 pieces instead of the board's 8192. Packed datasets
// decode into these and loaders hold them in their shuffle buffers, expanding
// them into boards only when a batch is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board.h"  // public headers include each other by relative path

namespace q4d {

// square | pawn_axis << 12 | letter << 20
using PieceWord = std::uint32_t;

constexpr PieceWord piece_word(int square, int pawn_axis, int letter) {
  return static_cast<PieceWord>(square) | static_cast<PieceWord>(pawn_axis) << 12 | static_cast<PieceWord>(letter) << 20;
}
constexpr int piece_square(PieceWord w) { return static_cast<int>(w & 0xFFFu); }
constexpr int piece_pawn_axis(PieceWord w) { return static_cast<int>((w >> 12) & 0xFFu); }
constexpr int piece_letter(PieceWord w) { return static_cast<int>(w >> 20); }

// The occupied squares of `board` into `pieces`, in square order (replacing
// what it held; its memory is reused).
void compact_board(const Board4D& board, std::vector<PieceWord>* pieces);

// The board of `n` piece words: every other square empty.
void expand_board(const PieceWord* pieces, std::size_t n, Board4D* board);

}  // namespace q4d
