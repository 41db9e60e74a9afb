// Moves of each piece kind on the empty 8x8x8x8 board.
//
// A kind's moves are its coordinate offsets, sorted by the change of square
// index they make, so walking them from a square yields its targets in
// ascending order without a per-square table. For every axis and coordinate
// a bit mask says which offsets stay on the board along that axis; the AND of
// a square's four masks is the set of its targets.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "encoder/value_field.h"

namespace q4d {

inline constexpr int MAX_MOVE_OFFSETS = 256;  // the queen's 224 is the most
inline constexpr int MOVE_MASK_WORDS = MAX_MOVE_OFFSETS / 64;

using MoveMask = std::array<std::uint64_t, MOVE_MASK_WORDS>;

struct MoveSet {
  int count;
  // Change of square index, ascending; zero beyond `count`. Aligned for
  // whole-vector loads of 16 entries.
  alignas(64) std::array<std::int32_t, MAX_MOVE_OFFSETS> delta;
  std::array<std::array<MoveMask, BOARD_SIDE>, N_DIMS> on_board;  // [axis][coordinate]: offsets that stay on
};

namespace detail {

struct Offset {
  int d[N_DIMS];
};

struct OffsetList {
  std::array<Offset, MAX_MOVE_OFFSETS> offsets;
  int count;

  constexpr void add(int dx, int dy, int dz, int dw) { offsets[count++] = {{dx, dy, dz, dw}}; }
};

// +-a along axis i and +-b along a different axis j, every choice of signs;
// ordered pairs (i, j) when a != b, unordered ones for diagonals.
constexpr void add_two_axis_steps(OffsetList& list, int a, int b) {
  for (int i = 0; i < N_DIMS; ++i) {
    for (int j = a == b ? i + 1 : 0; j < N_DIMS; ++j) {
      if (i == j) continue;
      for (int si : {-1, 1}) {
        for (int sj : {-1, 1}) {
          int d[N_DIMS] = {0, 0, 0, 0};
          d[i] = si * a;
          d[j] = sj * b;
          list.add(d[0], d[1], d[2], d[3]);
        }
      }
    }
  }
}

constexpr void add_rook_steps(OffsetList& list) {
  for (int axis = 0; axis < N_DIMS; ++axis) {
    for (int t = 1; t <= 7; ++t) {
      for (int sign : {-1, 1}) {
        int d[N_DIMS] = {0, 0, 0, 0};
        d[axis] = sign * t;
        list.add(d[0], d[1], d[2], d[3]);
      }
    }
  }
}

// Diagonals of the six coordinate planes only, never through three or four axes.
constexpr void add_bishop_steps(OffsetList& list) {
  for (int t = 1; t <= 7; ++t) add_two_axis_steps(list, t, t);
}

constexpr OffsetList move_offsets(int kind) {
  OffsetList list{};
  switch (kind) {
    case KNIGHT:
      add_two_axis_steps(list, 1, 2);
      break;
    case BISHOP:
      add_bishop_steps(list);
      break;
    case ROOK:
      add_rook_steps(list);
      break;
    case QUEEN:
      add_rook_steps(list);
      add_bishop_steps(list);
      break;
    case KING:  // every neighbour, diagonals through three and four axes included
      for (int dx = -1; dx <= 1; ++dx)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dz = -1; dz <= 1; ++dz)
            for (int dw = -1; dw <= 1; ++dw)
              if (dx || dy || dz || dw) list.add(dx, dy, dz, dw);
      break;
    default:  // pawns have no set here
      break;
  }
  return list;
}

constexpr MoveSet make_move_set(int kind) {
  OffsetList list = move_offsets(kind);
  auto delta_of = [](const Offset& o) { return square_index(o.d[0], o.d[1], o.d[2], o.d[3]); };
  std::sort(list.offsets.begin(), list.offsets.begin() + list.count,
            [&](const Offset& a, const Offset& b) { return delta_of(a) < delta_of(b); });
  MoveSet set{};
  set.count = list.count;
  for (int i = 0; i < list.count; ++i) {
    const Offset& o = list.offsets[i];
    set.delta[i] = delta_of(o);
    for (int axis = 0; axis < N_DIMS; ++axis) {
      for (int c = 0; c < BOARD_SIDE; ++c) {
        const int to = c + o.d[axis];
        if (to >= 0 && to < BOARD_SIDE) set.on_board[axis][c][i / 64] |= std::uint64_t{1} << (i % 64);
      }
    }
  }
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
  const MoveMask& mx = set.on_board[0][square_coord(s, 0)];
  const MoveMask& my = set.on_board[1][square_coord(s, 1)];
  const MoveMask& mz = set.on_board[2][square_coord(s, 2)];
  const MoveMask& mw = set.on_board[3][square_coord(s, 3)];
  for (int word = 0; word * 64 < set.count; ++word) {
    std::uint64_t targets = mx[word] & my[word] & mz[word] & mw[word];
    while (targets != 0) {
      visit(s + set.delta[word * 64 + std::countr_zero(targets)]);
      targets &= targets - 1;
    }
  }
}

}  // namespace q4d
