// The encoder's generated tables against numbers computed independently.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "encoder/tables/coord_residuals.h"
#include "encoder/tables/diagonal_deviation_table.h"
#include "encoder/tables/fiber_weights.h"
#include "encoder/tables/line_basis.h"
#include "encoder/tables/move_tables.h"
#include "encoder/tables/orbits.h"
#include "encoder/tables/pawn_fiber_matrix.h"
#include "test_boards.h"

namespace q4d {
namespace {

struct OrbitRow {
  const char* key;
  int size;
  int offset;
  int first;
  int last;
};

const OrbitRow ORBITS[N_ORBITS] = {
    {"0000", 16, 0, 0, 4095},
    {"0001", 64, 16, 1, 4094},
    {"0002", 64, 80, 2, 4093},
    {"0003", 64, 144, 3, 4092},
    {"0011", 96, 208, 9, 4086},
    {"0012", 192, 304, 10, 4085},
    {"0013", 192, 496, 11, 4084},
    {"0022", 96, 688, 18, 4077},
    {"0023", 192, 784, 19, 4076},
    {"0033", 96, 976, 27, 4068},
    {"0111", 64, 1072, 73, 4022},
    {"0112", 192, 1136, 74, 4021},
    {"0113", 192, 1328, 75, 4020},
    {"0122", 192, 1520, 82, 4013},
    {"0123", 384, 1712, 83, 4012},
    {"0133", 192, 2096, 91, 4004},
    {"0222", 64, 2288, 146, 3949},
    {"0223", 192, 2352, 147, 3948},
    {"0233", 192, 2544, 155, 3940},
    {"0333", 64, 2736, 219, 3876},
    {"1111", 16, 2800, 585, 3510},
    {"1112", 64, 2816, 586, 3509},
    {"1113", 64, 2880, 587, 3508},
    {"1122", 96, 2944, 594, 3501},
    {"1123", 192, 3040, 595, 3500},
    {"1133", 96, 3232, 603, 3492},
    {"1222", 64, 3328, 658, 3437},
    {"1223", 192, 3392, 659, 3436},
    {"1233", 192, 3584, 667, 3428},
    {"1333", 64, 3776, 731, 3364},
    {"2222", 16, 3840, 1170, 2925},
    {"2223", 64, 3856, 1171, 2924},
    {"2233", 96, 3920, 1179, 2916},
    {"2333", 64, 4016, 1243, 2852},
    {"3333", 16, 4080, 1755, 2340},
};

std::string key_text(int packed) {
  std::string text;
  for (int shift = 6; shift >= 0; shift -= 2) text += static_cast<char>('0' + ((packed >> shift) & 3));
  return text;
}

TEST(OrbitTables, KeysSizesOffsetsAndMembers) {
  const OrbitTables& t = orbit_tables;
  for (int i = 0; i < N_ORBITS; ++i) {
    const OrbitRow& row = ORBITS[i];
    const int begin = t.orbit_offsets[i];
    const int end = t.orbit_offsets[i + 1];
    EXPECT_EQ(begin, row.offset) << "orbit " << i;
    EXPECT_EQ(end - begin, row.size) << "orbit " << i;
    EXPECT_EQ(t.orbit_members[begin], row.first) << "orbit " << i;
    EXPECT_EQ(t.orbit_members[end - 1], row.last) << "orbit " << i;
    EXPECT_EQ(t.orbit_weights[i], 1.0 / row.size) << "orbit " << i;
    for (int m = begin; m < end; ++m) {
      const int s = t.orbit_members[m];
      ASSERT_EQ(key_text(orbit_key(s)), row.key) << "square " << s;
      ASSERT_EQ(t.square_orbit[s], i);
      if (m > begin) {
        ASSERT_LT(t.orbit_members[m - 1], s) << "members ascend within an orbit";
      }
    }
  }
  EXPECT_EQ(t.orbit_offsets[N_ORBITS], N_SQUARES);
}

TEST(OrbitTables, StoredReciprocals) {
  const OrbitTables& t = orbit_tables;
  EXPECT_EQ(t.orbit_weights[4], 0.010416666666666666);    // 1/96
  EXPECT_EQ(t.orbit_weights[5], 0.005208333333333333);    // 1/192
  EXPECT_EQ(t.orbit_weights[14], 0.0026041666666666665);  // 1/384
}

TEST(CoordResiduals, TellingRows) {
  struct Row {
    int square;
    double r[4];
  };
  const Row rows[] = {
      {0, {0, 0, 0, 0}},
      {1, {-0.25, -0.25, -0.25, 0.75}},
      {8, {-0.25, -0.25, 0.75, -0.25}},
      {15, {-2.0, -2.0, -1.0, 5.0}},
      {668, {-1.5, -0.5, 0.5, 1.5}},
      {1755, {0, 0, 0, 0}},
      {3584, {5.25, -1.75, -1.75, -1.75}},
      {4095, {0, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    for (int axis = 0; axis < 4; ++axis) EXPECT_EQ(coord_residual_at(axis, row.square), row.r[axis]) << row.square;
  }
}

TEST(CoordResiduals, CountsAndSignsPerAxis) {
  for (int axis = 0; axis < 4; ++axis) {
    int negative = 0, zero = 0, positive = 0;
    for (int s = 0; s < N_SQUARES; ++s) {
      const double r = coord_residual_at(axis, s);
      if (r < 0) ++negative;
      if (r > 0) ++positive;
      if (r == 0) {
        ++zero;
        EXPECT_FALSE(std::signbit(r)) << "a zero residual must be +0.0";
      }
      EXPECT_EQ(std::fmod(r, 0.25), 0.0);
      EXPECT_LE(std::fabs(r), 5.25);
    }
    EXPECT_EQ(negative, 1963);
    EXPECT_EQ(zero, 170);
    EXPECT_EQ(positive, 1963);
  }
  for (int s = 0; s < N_SQUARES; ++s) {
    ASSERT_EQ(coord_residual_at(0, s) + coord_residual_at(1, s) + coord_residual_at(2, s) + coord_residual_at(3, s), 0.0);
  }
}

std::vector<int> targets(int kind, int s) {
  std::vector<int> out;
  for_each_move_target(kind, s, [&](int t) { out.push_back(t); });
  return out;
}

TEST(MoveTables, CountsPerSquareAndTotals) {
  struct KindCounts {
    int kind;
    int min, max;
    long total;
  };
  const KindCounts kinds[] = {
      {KNIGHT, 12, 48, 129024}, {BISHOP, 42, 78, 215040}, {ROOK, 28, 28, 114688},
      {QUEEN, 70, 106, 329728}, {KING, 15, 80, 230160},
  };
  for (const KindCounts& k : kinds) {
    int lo = 1 << 30, hi = 0;
    long total = 0;
    for (int s = 0; s < N_SQUARES; ++s) {
      const std::vector<int> list = targets(k.kind, s);
      for (std::size_t i = 0; i < list.size(); ++i) {
        ASSERT_NE(list[i], s);
        ASSERT_TRUE(list[i] >= 0 && list[i] < N_SQUARES);
        if (i > 0) {
          ASSERT_LT(list[i - 1], list[i]) << "targets ascend, without repeats";
        }
      }
      lo = std::min<int>(lo, static_cast<int>(list.size()));
      hi = std::max<int>(hi, static_cast<int>(list.size()));
      total += static_cast<long>(list.size());
    }
    EXPECT_EQ(lo, k.min) << "kind " << k.kind;
    EXPECT_EQ(hi, k.max) << "kind " << k.kind;
    EXPECT_EQ(total, k.total) << "kind " << k.kind;
  }
}

TEST(MoveTables, ListedTargetOrders) {
  EXPECT_EQ(targets(KNIGHT, 0),
            (std::vector<int>{square_index(0, 0, 1, 2), square_index(0, 0, 2, 1), square_index(0, 1, 0, 2),
                              square_index(0, 1, 2, 0), square_index(0, 2, 0, 1), square_index(0, 2, 1, 0),
                              square_index(1, 0, 0, 2), square_index(1, 0, 2, 0), square_index(1, 2, 0, 0),
                              square_index(2, 0, 0, 1), square_index(2, 0, 1, 0), square_index(2, 1, 0, 0)}));
  const std::vector<int> king = targets(KING, 2340);
  ASSERT_EQ(king.size(), 80u);
  EXPECT_EQ(king[0], square_index(3, 3, 3, 3));
  EXPECT_EQ(king[1], square_index(3, 3, 3, 4));
  const std::vector<int> bishop = targets(BISHOP, 0);
  const std::vector<int> bishop_start(bishop.begin(), bishop.begin() + 9);
  EXPECT_EQ(bishop_start, (std::vector<int>{9, 18, 27, 36, 45, 54, 63, square_index(0, 1, 0, 1),
                                            square_index(0, 1, 1, 0)}));
  // The queen reaches exactly what the rook and the bishop reach.
  for (int s : {0, 668, 2340, 4095}) {
    std::vector<int> both = targets(ROOK, s);
    const std::vector<int> diagonal = targets(BISHOP, s);
    both.insert(both.end(), diagonal.begin(), diagonal.end());
    std::sort(both.begin(), both.end());
    EXPECT_EQ(targets(QUEEN, s), both) << s;
  }
}

TEST(FiberWeights, NearestFloatOfTheDecimal) {
  EXPECT_EQ(fiber_weights[0][FIBER_KNIGHT][0], static_cast<float>(-0.006363217));
  EXPECT_EQ(fiber_weights[14][FIBER_BISHOP][1], static_cast<float>(0.079847062));
  EXPECT_EQ(fiber_weights[34][FIBER_KING][2], static_cast<float>(-0.040000824));
  EXPECT_EQ(fiber_weights[30][FIBER_QUEEN][2], static_cast<float>(0.005551980));
}

TEST(LineBasis, OrthonormalWithFixedSigns) {
  const LineBasis& basis = line_basis();
  for (int m = 0; m < 8; ++m) {
    for (int n = 0; n < 8; ++n) {
      double dot = 0.0;
      for (int x = 0; x < 8; ++x) dot += basis.b[m][x] * basis.b[n][x];
      EXPECT_NEAR(dot, m == n ? 1.0 : 0.0, 1e-15) << m << "," << n;
    }
  }
  EXPECT_NEAR(basis.b[0][3], -0.353553, 1e-6);
  EXPECT_NEAR(basis.b[1][0], 0.490393, 1e-6);
  EXPECT_NEAR(basis.b[4][0], -0.353553, 1e-6);
  EXPECT_NEAR(basis.b[4][1], 0.353553, 1e-6);
  EXPECT_NEAR(basis.b[7][3], -0.490393, 1e-6);
  EXPECT_EQ(basis.mu[0], 0.0);
  EXPECT_NEAR(basis.mu[7], 3.847759, 1e-6);
}

// The stored literals are the formula as this platform's cos evaluates it;
// another maths library may differ in the last bit, never more.
TEST(LineBasis, LiteralsAreTheFormula) {
  constexpr double SIGN[8] = {-1.0, 1.0, 1.0, 1.0, -1.0, 1.0, 1.0, 1.0};
  const double pi = std::numbers::pi;
  auto within_one_ulp = [](double got, double want) {
    return got == want || std::nextafter(want, got) == got;
  };
  int exact = 0;
  for (int m = 0; m < 8; ++m) {
    const double norm = std::sqrt((m == 0 ? 1.0 : 2.0) / 8.0);
    for (int x = 0; x < 8; ++x) {
      const double want = SIGN[m] * norm * std::cos(pi * m * (2 * x + 1) / 16.0);
      EXPECT_TRUE(within_one_ulp(LINE_BASIS.b[m][x], want)) << "b[" << m << "][" << x << "]";
      exact += LINE_BASIS.b[m][x] == want;
    }
    const double want_mu = 2.0 - 2.0 * std::cos(pi * m / 8.0);
    EXPECT_TRUE(within_one_ulp(LINE_BASIS.mu[m], want_mu)) << "mu[" << m << "]";
    exact += LINE_BASIS.mu[m] == want_mu;
  }
  std::printf("line basis: %d of 72 literals equal this platform's formula bit for bit\n", exact);
}

TEST(PawnFiberMatrix, ListedEntriesAntisymmetryAndExactZeros) {
  const PawnFiberMatrix& m = pawn_fiber_matrix();
  // Above the diagonal, r + k odd.
  const double upper[8][8] = {
      {0, -0.173380, 0, -0.146984, 0, -0.098212, 0, -0.034487},
      {0, 0, 0.385627, 0, -0.201950, 0, 0.102591, 0},
      {0, 0, 0, 0.538804, 0, 0.197295, 0, 0.061244},
      {0, 0, 0, 0, -0.621193, 0, 0.169667, 0},
      {0, 0, 0, 0, 0, -0.611492, 0, -0.109145},
      {0, 0, 0, 0, 0, 0, 0.506216, 0},
      {0, 0, 0, 0, 0, 0, 0, 0.312633},
      {0, 0, 0, 0, 0, 0, 0, 0},
  };
  for (int r = 0; r < 8; ++r) {
    for (int k = 0; k < 8; ++k) {
      if ((r + k) % 2 == 0) {
        EXPECT_EQ(m[r][k], 0.0) << r << "," << k;
        EXPECT_FALSE(std::signbit(m[r][k]));
      } else if (k > r) {
        EXPECT_NEAR(m[r][k], upper[r][k], 5e-7) << r << "," << k;
      }
      EXPECT_EQ(m[k][r], -m[r][k]) << r << "," << k;
    }
  }
}

TEST(DiagonalDeviationTable, SampleEntries) {
  struct Sample {
    int j;
    double delta[N_PIECE_TYPES];
  };
  const Sample samples[] = {
      {1, {-0.0761205, 3.5496973, 19.879214, 7.8477591, 27.879214, 3.0138948}},
      {512, {-0.1522409, 3.5496973, 19.879214, 7.8477591, 27.879214, 3.0138948}},
      {9, {-0.2283614, 6.5595227, 29.645241, 15.695518, 45.645241, 5.3206697}},
      {668, {-2.9726605, 30.937050, 44.205264, 28.027339, 76.205264, 38.333759}},
      {4095, {-13.467157, 62.139684, 4.0556629, 16.608964, 36.055663, 63.008697}},
  };
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  for (const Sample& sample : samples) {
    for (int k = 0; k < N_PIECE_TYPES; ++k) {
      const double expected = sample.delta[k];
      EXPECT_NEAR(table[k][sample.j], expected, 1e-6 * std::max(1.0, std::fabs(expected))) << "kind " << k << " j " << sample.j;
    }
  }
  for (int k = 0; k < N_PIECE_TYPES; ++k) {
    EXPECT_EQ(table[k][0], 0.0) << "the constant mode is exactly zero";
    EXPECT_FALSE(std::signbit(table[k][0]));
  }
}

TEST(DiagonalDeviationTable, RowSums) {
  const double sums[N_PIECE_TYPES] = {-25088, 100352, 186368, 86016, 301056, 201488};
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  for (int k = 0; k < N_PIECE_TYPES; ++k) {
    double sum = 0.0;
    for (double v : table[k]) sum += v;
    EXPECT_NEAR(sum, sums[k], 1e-8) << "kind " << k;
  }
}

// The one-dimensional form against the definition: the quadratic form of each
// kind's move-graph Laplacian summed edge by edge, for a spread of modes.
TEST(DiagonalDeviationTable, AgreesWithTheEdgeSumDefinition) {
  const LineBasis& basis = line_basis();
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  for (int j : {1, 9, 64, 300, 668, 1755, 2340, 3001, 4095}) {
    std::vector<double> phi(N_SQUARES);
    for (int s = 0; s < N_SQUARES; ++s) {
      phi[s] = basis.b[square_coord(j, 0)][square_coord(s, 0)] * basis.b[square_coord(j, 1)][square_coord(s, 1)] *
               basis.b[square_coord(j, 2)][square_coord(s, 2)] * basis.b[square_coord(j, 3)][square_coord(s, 3)];
    }
    const double lambda = basis.mu[square_coord(j, 0)] + basis.mu[square_coord(j, 1)] +
                          basis.mu[square_coord(j, 2)] + basis.mu[square_coord(j, 3)];
    for (int kind = KNIGHT; kind <= KING; ++kind) {
      double form = 0.0;  // every edge is seen from both ends
      for (int s = 0; s < N_SQUARES; ++s) {
        for_each_move_target(kind, s, [&](int t) { form += 0.5 * (phi[s] - phi[t]) * (phi[s] - phi[t]); });
      }
      EXPECT_NEAR(table[kind][j], form - lambda, 1e-9) << "kind " << kind << " j " << j;
    }
    double pawn_form = 0.0;  // steps of one along w, weight 1/2
    for (int s = 0; s < N_SQUARES; ++s) {
      if (square_coord(s, 3) < 7) pawn_form += 0.5 * (phi[s] - phi[s + 1]) * (phi[s] - phi[s + 1]);
    }
    EXPECT_NEAR(table[PAWN][j], pawn_form - lambda, 1e-12) << "pawn j " << j;
  }
}

}  // namespace
}  // namespace q4d
