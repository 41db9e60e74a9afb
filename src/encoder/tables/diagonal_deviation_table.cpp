#include "encoder/tables/diagonal_deviation_table.h"

#include "encoder/tables/line_basis.h"

namespace q4d {
namespace {

// The one-dimensional sums deg_t(m) and adj_t(m), and the products of two
// axes' sums that the knight and bishop rows add up, each rounded exactly as
// the formula rounds it. Small: evaluated by the compiler.
struct PairTerms {
  double knight[8][8];     // [m_i][m_k]: deg_1(m_i) deg_2(m_k) - adj_1(m_i) adj_2(m_k)
  double bishop[8][8][8];  // [t][m_i][m_k]: deg_t(m_i) deg_t(m_k) - adj_t(m_i) adj_t(m_k)
  double king_deg[8];      // 1 + deg_1(m)
  double king_adj[8];      // 1 + adj_1(m)
};

constexpr PairTerms make_pair_terms() {
  const LineBasis& basis = LINE_BASIS;
  double deg[8][8] = {};  // [step length t, 1..7][mode m]
  double adj[8][8] = {};
  for (int t = 1; t <= 7; ++t) {
    for (int m = 0; m < 8; ++m) {
      const double* b = basis.b[m];
      double d = 0.0;
      for (int x = 0; x < 8; ++x) {
        const int reach = (x - t >= 0) + (x + t <= 7);
        d += reach * (b[x] * b[x]);
      }
      double a = 0.0;
      for (int x = 0; x + t < 8; ++x) a += b[x] * b[x + t];
      deg[t][m] = d;
      adj[t][m] = 2.0 * a;
    }
  }
  PairTerms terms{};
  for (int p = 0; p < 8; ++p) {
    for (int q = 0; q < 8; ++q) {
      terms.knight[p][q] = deg[1][p] * deg[2][q] - adj[1][p] * adj[2][q];
      for (int t = 1; t <= 7; ++t) terms.bishop[t][p][q] = deg[t][p] * deg[t][q] - adj[t][p] * adj[t][q];
    }
    terms.king_deg[p] = 1.0 + deg[1][p];
    terms.king_adj[p] = 1.0 + adj[1][p];
  }
  return terms;
}

constexpr PairTerms PAIR_TERMS = make_pair_terms();

// Each row entry adds its terms in one fixed order; precomputed terms round
// exactly as terms computed in place, so only the additions are left here.
// The compiler's arithmetic is IEEE double arithmetic, rounded as at run time.
constexpr void fill_table(DiagonalDeviationTable& table) {
  const LineBasis& basis = LINE_BASIS;
  const PairTerms& p = PAIR_TERMS;
  for (int j = 1; j < N_SQUARES; ++j) {
    const int m[4] = {square_coord(j, 0), square_coord(j, 1), square_coord(j, 2), square_coord(j, 3)};
    const double lambda = basis.mu[m[0]] + basis.mu[m[1]] + basis.mu[m[2]] + basis.mu[m[3]];

    double knight = 0.0;
    for (int i = 0; i < 4; ++i) {
      for (int k = 0; k < 4; ++k) {
        if (i != k) knight += p.knight[m[i]][m[k]];
      }
    }
    double bishop = 0.0;
    for (int i = 0; i < 4; ++i) {
      for (int k = i + 1; k < 4; ++k) {
        for (int t = 1; t <= 7; ++t) bishop += p.bishop[t][m[i]][m[k]];
      }
    }
    const double rook = 8.0 * ((m[0] != 0) + (m[1] != 0) + (m[2] != 0) + (m[3] != 0));
    double king_deg = 1.0;
    double king_adj = 1.0;
    for (int i = 0; i < 4; ++i) {
      king_deg *= p.king_deg[m[i]];
      king_adj *= p.king_adj[m[i]];
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

alignas(64) constexpr DiagonalDeviationTable DIAGONAL_DEVIATION_TABLE = [] {
  DiagonalDeviationTable t{};
  fill_table(t);
  return t;
}();

const DiagonalDeviationTable& diagonal_deviation_table() { return DIAGONAL_DEVIATION_TABLE; }

}  // namespace q4d
