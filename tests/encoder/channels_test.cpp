// Each channel on positions whose encodings are known exactly.
#include <gtest/gtest.h>

#include <cmath>

#include "encoder/tables/coord_residuals.h"
#include "encoder/tables/diagonal_deviation_table.h"
#include "encoder/tables/fiber_weights.h"
#include "encoder/tables/orbits.h"
#include "encoder/tables/pawn_fiber_matrix.h"
#include "test_boards.h"

namespace q4d {
namespace {

using test::encode;
using test::float_bits;
using test::make_board;

float channel(const EncodingVector& v, int ch, int j) { return v[channel_offset(ch) + j]; }

// Checks every element of a channel: `expected(j)` for the listed entries,
// +0.0 (bits zero) for all others.
template <class Expected>
void expect_channel(const EncodingVector& v, int ch, Expected expected) {
  for (int j = 0; j < CHANNEL_SIZE; ++j) {
    const float want = expected(j);
    ASSERT_EQ(float_bits(channel(v, ch, j)), float_bits(want)) << "channel " << ch << " entry " << j;
  }
}

bool in_orbit(int s, int orbit) { return orbit_tables.square_orbit[s] == orbit; }

TEST(OrbitMean, LonePieces) {
  struct Case {
    Board4D board;
    int orbit;
    std::uint32_t bits;
  };
  const Case cases[] = {
      {make_board({{0, 'K'}}), 0, float_bits(0.75f)},                                // 12/16 on the 16 corners
      {make_board({{10, 'n'}}), 5, float_bits(-0.015625f)},                          // -3/192
      {make_board({{83, 'B'}}), 14, 0x3C0AAAABu},                                    // 3.25 * (1/384)
      {make_board({{9, 'P', PAWN_AXIS_Y}}), 4, 0x3C2AAAABu},                         // 1 * (1/96)
      {make_board({{1755, 'Q'}, {2340, 'q'}}), 34, 0u},                              // cancel to +0.0
  };
  for (const Case& c : cases) {
    const auto v = encode(c.board);
    expect_channel(*v, CH_A1, [&](int s) { return in_orbit(s, c.orbit) ? std::bit_cast<float>(c.bits) : 0.0f; });
  }
}

TEST(CoordResiduals, EmptyBoardStoresNegativeZeros) {
  const auto v = encode(Board4D{});
  int negative_zeros = 0;
  for (int axis = 0; axis < 4; ++axis) {
    expect_channel(*v, CH_STD4_X + axis, [&](int s) { return coord_residual(axis, s) < 0 ? -0.0f : 0.0f; });
    for (int s = 0; s < N_SQUARES; ++s) negative_zeros += std::signbit(channel(*v, CH_STD4_X + axis, s));
  }
  EXPECT_EQ(negative_zeros, 7852);
  // Every other channel is +0.0 throughout.
  for (int ch : {CH_A1, CH_FIB_SYM_1, CH_FIB_SYM_2, CH_FIB_SYM_3, CH_FA_PAWN_W, CH_FA_PAWN_Y, CH_FD_DIAG}) {
    expect_channel(*v, ch, [](int) { return 0.0f; });
  }
}

TEST(CoordResiduals, LonePieces) {
  struct Case {
    Board4D board;
    int square;
    float values[4];
  };
  const Case cases[] = {
      {make_board({{3584, 'Q'}}), 3584, {47.25f, -15.75f, -15.75f, -15.75f}},
      {make_board({{668, 'r'}}), 668, {7.5f, 2.5f, -2.5f, -7.5f}},
      {make_board({{1755, 'k'}}), 1755, {-0.0f, -0.0f, -0.0f, -0.0f}},  // black on the diagonal
      {make_board({{1755, 'K'}}), 1755, {0.0f, 0.0f, 0.0f, 0.0f}},
  };
  for (const Case& c : cases) {
    const auto v = encode(c.board);
    for (int axis = 0; axis < 4; ++axis) {
      expect_channel(*v, CH_STD4_X + axis, [&](int s) {
        if (s == c.square) return c.values[axis];
        return coord_residual(axis, s) < 0 ? -0.0f : 0.0f;
      });
    }
  }
}

TEST(CrossPieceFiber, PawnsRooksAndLonePiecesLeaveItEmpty) {
  const Board4D boards[] = {
      make_board({{5, 'P'}, {6, 'p', PAWN_AXIS_Y}, {700, 'R'}, {701, 'r'}}),
      make_board({{0, 'N'}}),  // reaches only empty squares; its own square is never summed
      make_board({{2340, 'Q'}, {0, 'X'}}),
  };
  for (const Board4D& board : boards) {
    const auto v = encode(board);
    for (int ch = CH_FIB_SYM_1; ch <= CH_FIB_SYM_3; ++ch) expect_channel(*v, ch, [](int) { return 0.0f; });
  }
}

TEST(CrossPieceFiber, KnightReachingABlackQueen) {
  // The knight's reach sum is the queen's -9, spread with the knight's corner
  // weights over its 12 targets; the queen reaches nothing occupied.
  const int queen = square_index(0, 0, 1, 2);
  const auto v = encode(make_board({{0, 'N'}, {queen, 'q'}}));
  const int targets[] = {10, 17, 66, 80, 129, 136, 514, 528, 640, 1025, 1032, 1088};
  for (int c = 0; c < 3; ++c) {
    const float value = static_cast<float>(-9.0 * static_cast<double>(fiber_weights[0][FIBER_KNIGHT][c]));
    expect_channel(*v, CH_FIB_SYM_1 + c, [&](int t) {
      for (int target : targets) {
        if (t == target) return value;
      }
      return 0.0f;
    });
  }
}

TEST(CrossPieceFiber, RookCountsInOthersReachButSpreadsNothing) {
  const auto with_rook = encode(make_board({{0, 'K'}, {1, 'R'}}));
  const double weight = static_cast<double>(fiber_weights[0][FIBER_KING][0]);
  EXPECT_EQ(channel(*with_rook, CH_FIB_SYM_1, 1), static_cast<float>(5.0 * weight));
  EXPECT_EQ(channel(*with_rook, CH_FIB_SYM_1, 0), 0.0f);  // the king's own square
}

TEST(PawnFiber, RowsAlongTheAxis) {
  const PawnFiberMatrix& m = pawn_fiber_matrix();
  struct Case {
    Board4D board;
    int ch;
    int start;
    int stride;
    int row;
    double sign;
  };
  const Case cases[] = {
      {make_board({{0, 'P', PAWN_AXIS_W}}), CH_FA_PAWN_W, 0, 1, 0, 1.0},
      {make_board({{0, 'p', PAWN_AXIS_W}}), CH_FA_PAWN_W, 0, 1, 0, -1.0},
      {make_board({{0, 'P', PAWN_AXIS_Y}}), CH_FA_PAWN_Y, 0, 64, 0, 1.0},
      {make_board({{668, 'P', PAWN_AXIS_Y}}), CH_FA_PAWN_Y, 540, 64, 2, 1.0},
      {make_board({{668, 'p', PAWN_AXIS_W}}), CH_FA_PAWN_W, 664, 1, 4, -1.0},
  };
  for (const Case& c : cases) {
    const auto v = encode(c.board);
    expect_channel(*v, c.ch, [&](int e) {
      const int offset = e - c.start;
      if (offset >= 0 && offset % c.stride == 0 && offset / c.stride < 8) {
        return static_cast<float>(std::fma(c.sign, m[c.row][offset / c.stride], 0.0));  // zeros stay +0.0
      }
      return 0.0f;
    });
    const int other = c.ch == CH_FA_PAWN_W ? CH_FA_PAWN_Y : CH_FA_PAWN_W;
    expect_channel(*v, other, [](int) { return 0.0f; });
  }
  EXPECT_NEAR(static_cast<float>(m[2][3]), 0.538804f, 1e-6f);
}

TEST(PawnFiber, PawnsSharingALineAddInSquareOrder) {
  const PawnFiberMatrix& m = pawn_fiber_matrix();
  const auto v = encode(make_board({{1, 'P', PAWN_AXIS_W}, {2, 'p', PAWN_AXIS_W}}));
  for (int k = 0; k < 8; ++k) {
    const double sum = std::fma(-1.0, m[2][k], std::fma(1.0, m[1][k], 0.0));
    EXPECT_EQ(float_bits(channel(*v, CH_FA_PAWN_W, k)), float_bits(static_cast<float>(sum))) << k;
  }
  EXPECT_NEAR(channel(*v, CH_FA_PAWN_W, 1), 0.385627f, 1e-6f);
  EXPECT_NEAR(channel(*v, CH_FA_PAWN_W, 2), 0.385627f, 1e-6f);
}

TEST(PawnFiber, OnlyPawnLettersCount) {
  Board4D board = make_board({{7, 'K', PAWN_AXIS_Y}, {8, 'q'}, {9, 'X', PAWN_AXIS_Y}});
  const auto v = encode(board);
  expect_channel(*v, CH_FA_PAWN_W, [](int) { return 0.0f; });
  expect_channel(*v, CH_FA_PAWN_Y, [](int) { return 0.0f; });
}

TEST(DiagonalDeviation, LonePiecesAndCancellingPairs) {
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  const auto pawn = encode(make_board({{3000, 'P', PAWN_AXIS_Y}}));
  expect_channel(*pawn, CH_FD_DIAG, [&](int j) { return static_cast<float>(table[PAWN][j]); });

  for (int square : {0, 668, 4095}) {
    const auto rook = encode(make_board({{square, 'r'}}));
    expect_channel(*rook, CH_FD_DIAG, [&](int j) { return static_cast<float>(std::fma(table[ROOK][j], -5.0, 0.0)); });
  }

  const auto pawns = encode(make_board({{10, 'P'}, {20, 'p', PAWN_AXIS_Y}}));
  expect_channel(*pawns, CH_FD_DIAG, [](int) { return 0.0f; });
}

// Only a fused multiply-add leaves the first rook's rounding error behind; an
// unfused one would cancel to exact zeros.
TEST(DiagonalDeviation, RookPairLeavesFusedResidues) {
  for (const Board4D& board : {make_board({{100, 'R'}, {3000, 'r'}}), make_board({{100, 'r'}, {3000, 'R'}})}) {
    const auto v = encode(board);
    int non_zero = 0;
    for (int j = 0; j < CHANNEL_SIZE; ++j) {
      const float e = channel(*v, CH_FD_DIAG, j);
      EXPECT_LT(std::fabs(e), 1.5e-14f);
      non_zero += e != 0.0f;
    }
    EXPECT_GT(non_zero, 2000);
    EXPECT_EQ(channel(*v, CH_FD_DIAG, 0), 0.0f);
  }
}

}  // namespace
}  // namespace q4d
