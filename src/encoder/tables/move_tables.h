// Moves of each piece kind on the empty 8x8x8x8 board.
//
// A kind's moves are a list of coordinate offsets sorted by the change of
// square index they make. Walking the list from a square and keeping the
// offsets that stay on the board yields its targets in ascending order, which
// is the order the encoder sums and scatters in, without a per-square table.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "encoder/value_field.h"

namespace q4d {

struct MoveOffset {
  std::int8_t d[4];    // change of x, y, z, w
  std::int16_t delta;  // change of square index
};

struct MoveSet {
  std::array<MoveOffset, 224> offsets;  // the queen's 224 is the most
  int count;
};

namespace detail {

constexpr void add_offset(MoveSet& set, int dx, int dy, int dz, int dw) {
  MoveOffset& o = set.offsets[set.count++];
  o.d[0] = static_cast<std::int8_t>(dx);
  o.d[1] = static_cast<std::int8_t>(dy);
  o.d[2] = static_cast<std::int8_t>(dz);
  o.d[3] = static_cast<std::int8_t>(dw);
  o.delta = static_cast<std::int16_t>(square_index(dx, dy, dz, dw));
}

// Steps of +-a along axis i and +-b along axis j != i (every sign choice).
constexpr void add_two_axis_steps(MoveSet& set, int a, int b, bool ordered_pairs) {
  for (int i = 0; i < 4; ++i) {
    for (int j = ordered_pairs ? 0 : i + 1; j < 4; ++j) {
      if (i == j) continue;
      for (int si : {-1, 1}) {
        for (int sj : {-1, 1}) {
          int d[4] = {0, 0, 0, 0};
          d[i] = si * a;
          d[j] = sj * b;
          add_offset(set, d[0], d[1], d[2], d[3]);
        }
      }
    }
  }
}

constexpr void add_rook_steps(MoveSet& set) {
  for (int axis = 0; axis < 4; ++axis) {
    for (int t = 1; t <= 7; ++t) {
      for (int sign : {-1, 1}) {
        int d[4] = {0, 0, 0, 0};
        d[axis] = sign * t;
        add_offset(set, d[0], d[1], d[2], d[3]);
      }
    }
  }
}

constexpr void add_bishop_steps(MoveSet& set) {
  for (int t = 1; t <= 7; ++t) add_two_axis_steps(set, t, t, false);  // diagonals of the six coordinate planes
}

constexpr MoveSet make_move_set(int kind) {
  MoveSet set{};
  switch (kind) {
    case KNIGHT:
      add_two_axis_steps(set, 1, 2, true);
      break;
    case BISHOP:
      add_bishop_steps(set);
      break;
    case ROOK:
      add_rook_steps(set);
      break;
    case QUEEN:
      add_rook_steps(set);
      add_bishop_steps(set);
      break;
    case KING:  // every neighbour, diagonals through three and four axes included
      for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dz = -1; dz <= 1; ++dz)
            for (int dw = -1; dw <= 1; ++dw)
              if (dx || dy || dz || dw) add_offset(set, dx, dy, dz, dw);
      break;
    default:  // pawns do not take part
      break;
  }
  std::sort(set.offsets.begin(), set.offsets.begin() + set.count,
            [](const MoveOffset& a, const MoveOffset& b) { return a.delta < b.delta; });
  return set;
}

}  // namespace detail

// Indexed by PieceType; the pawn's set is empty.
inline constexpr std::array<MoveSet, N_PIECE_TYPES> move_sets = [] {
  std::array<MoveSet, N_PIECE_TYPES> sets{};
  for (int kind = 0; kind < N_PIECE_TYPES; ++kind) sets[kind] = detail::make_move_set(kind);
  return sets;
}();

static_assert(move_sets[KNIGHT].count == 48 && move_sets[BISHOP].count == 168 && move_sets[ROOK].count == 56 &&
              move_sets[QUEEN].count == 224 && move_sets[KING].count == 80);

// Calls visit(t) for every target t of a `kind` piece on square s, ascending.
template <class Visit>
inline void for_each_move_target(int kind, int s, Visit&& visit) {
  const MoveSet& set = move_sets[kind];
  const int c[4] = {square_coord(s, 0), square_coord(s, 1), square_coord(s, 2), square_coord(s, 3)};
  for (int i = 0; i < set.count; ++i) {
    const MoveOffset& o = set.offsets[i];
    const bool on_board = static_cast<unsigned>(c[0] + o.d[0]) < 8 && static_cast<unsigned>(c[1] + o.d[1]) < 8 &&
                          static_cast<unsigned>(c[2] + o.d[2]) < 8 && static_cast<unsigned>(c[3] + o.d[3]) < 8;
    if (on_board) visit(s + o.delta);
  }
}

}  // namespace q4d
