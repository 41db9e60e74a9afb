// The 8x8x8x8 board: one piece letter and one pawn-axis flag per square.
#pragma once

#include <array>
#include <cstdint>

namespace q4d {

inline constexpr int BOARD_SIDE = 8;
inline constexpr int N_DIMS = 4;
inline constexpr int N_SQUARES = 4096;  // BOARD_SIDE ^ N_DIMS

// Square index of (x, y, z, w): w varies fastest, x slowest.
constexpr int square_index(int x, int y, int z, int w) { return 512 * x + 64 * y + 8 * z + w; }

// Coordinate `axis` (0 = x, 1 = y, 2 = z, 3 = w) of square s.
constexpr int square_coord(int s, int axis) { return (s >> (3 * (3 - axis))) & 7; }

inline constexpr std::uint8_t PAWN_AXIS_W = 0;
inline constexpr std::uint8_t PAWN_AXIS_Y = 1;

using PieceLetters = std::array<std::uint8_t, N_SQUARES>;

// A position, 8192 bytes. `pieces` holds 0 for an empty square or the ASCII
// letter of the piece (PNBRQK white, pnbrqk black); `pawn_axis` holds 1 for a
// Y-axis pawn and 0 for a W-axis pawn and every other square.
struct Board4D {
  PieceLetters pieces;
  std::array<std::uint8_t, N_SQUARES> pawn_axis;
};
static_assert(sizeof(Board4D) == 8192);

}  // namespace q4d
