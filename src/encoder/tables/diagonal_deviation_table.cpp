#include "encoder/tables/diagonal_deviation_table.h"


#include "encoder/tables/line_basis.h"

namespace q4d {
namespace {

struct LineSums {
  double deg[8][8];  // [step length t, 1..7][mode m]
  double adj[8][8];
};

LineSums make_line_sums(const LineBasis& basis) {
  LineSums sums{};
  for (int t = 1; t <= 7; ++t) {
    for (int m = 0; m < 8; ++m) {
      const double* b = basis.b[m];
      double deg = 0.0;
      for (int x = 0; x < 8; ++x) {
        const int reach = (x - t >= 0) + (x + t <= 7);
        deg += reach * (b[x] * b[x]);
      }
      double adj = 0.0;
      for (int x = 0; x + t < 8; ++x) adj += b[x] * b[x + t];
      sums.deg[t][m] = deg;
      sums.adj[t][m] = 2.0 * adj;
    }
  }
  return sums;
}

void fill_table(DiagonalDeviationTable& table) {
  const LineBasis& basis = line_basis();
  const LineSums s = make_line_sums(basis);
  for (int j = 1; j < N_SQUARES; ++j) {
    const int m[4] = {square_coord(j, 0), square_coord(j, 1), square_coord(j, 2), square_coord(j, 3)};
    const double lambda = basis.mu[m[0]] + basis.mu[m[1]] + basis.mu[m[2]] + basis.mu[m[3]];

    double knight = 0.0;
    for (int i = 0; i < 4; ++i) {
      for (int k = 0; k < 4; ++k) {
        if (i != k) knight += s.deg[1][m[i]] * s.deg[2][m[k]] - s.adj[1][m[i]] * s.adj[2][m[k]];
      }
    }
    double bishop = 0.0;
    for (int i = 0; i < 4; ++i) {
      for (int k = i + 1; k < 4; ++k) {
        for (int t = 1; t <= 7; ++t) bishop += s.deg[t][m[i]] * s.deg[t][m[k]] - s.adj[t][m[i]] * s.adj[t][m[k]];
      }
    }
    const double rook = 8.0 * ((m[0] != 0) + (m[1] != 0) + (m[2] != 0) + (m[3] != 0));
    double king_deg = 1.0;
    double king_adj = 1.0;
    for (int i = 0; i < 4; ++i) {
      king_deg *= 1.0 + s.deg[1][m[i]];
      king_adj *= 1.0 + s.adj[1][m[i]];
    }

    table[PAWN][j] = 0.5 * basis.mu[m[3]] - lambda;
    table[KNIGHT][j] = knight - lambda;
    table[BISHOP][j] = bishop - lambda;
    table[ROOK][j] = rook - lambda;
    table[QUEEN][j] = (rook + bishop) - lambda;
    table[KING][j] = (king_deg - king_adj) - lambda;
  }
  for (auto& row : table) row[0] = 0.0;  // the constant mode: exactly zero
}

}  // namespace

const DiagonalDeviationTable& diagonal_deviation_table() {
  // 192 KiB: static storage, filled once.
  static DiagonalDeviationTable table;
  static const bool filled = (fill_table(table), true);
  (void)filled;
  return table;
}

}  // namespace q4d
