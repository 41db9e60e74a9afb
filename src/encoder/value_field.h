// Piece kinds and the signed material value of every square.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "position/board.h"

namespace q4d {

// The order of the encoder's per-kind tables.
enum PieceType { PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5, N_PIECE_TYPES = 6 };

inline constexpr std::array<double, N_PIECE_TYPES> piece_values = {1.0, 3.0, 3.25, 5.0, 9.0, 12.0};

// PieceType of a piece letter (either case), or -1 for any other byte.
constexpr int piece_type_of(std::uint8_t letter) {
  switch (letter) {
    case 'P': case 'p': return PAWN;
    case 'N': case 'n': return KNIGHT;
    case 'B': case 'b': return BISHOP;
    case 'R': case 'r': return ROOK;
    case 'Q': case 'q': return QUEEN;
    case 'K': case 'k': return KING;
    default: return -1;
  }
}

// Value of the piece on each square: positive for white (upper case),
// negative for black, +0.0 for an empty square or an unknown letter.
using ValueField = std::array<double, N_SQUARES>;

// `occupied` lists the board's squares with a non-zero letter: only they are
// looked up, every other square is +0.0.
void build_value_field(const PieceLetters& pieces, std::span<const std::int16_t> occupied, ValueField& field);

}  // namespace q4d
