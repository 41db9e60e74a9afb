// Per-kind deviation of each piece kind's move graph from the board's grid,
// one row of 4096 values per PieceType, indexed by board eigenmode
// j = 512a + 64b + 8c + d (mode numbers a, b, c, d along x, y, z, w):
//
//   delta_k[j] = phi_j^T L_k phi_j - lambda_j
//
// where L_k is the Laplacian of kind k's move graph on the empty board,
// phi_j = b_a(x) b_b(y) b_c(z) b_d(w) and lambda_j = mu_a + mu_b + mu_c + mu_d.
// Every move set is built from steps along single axes, so the quadratic form
// separates into one-dimensional sums, for a step length t and mode m:
//
//   deg_t(m) = sum_x c_t(x) b_m(x)^2     c_t(x): how many of x-t, x+t lie on the line
//   adj_t(m) = 2 sum_x b_m(x) b_m(x+t)
//
// and, with m_1..m_4 = a, b, c, d:
//   pawn    1/2 mu_d                               (steps along w, weight 1/2)
//   knight  sum over ordered axis pairs (i, i') of deg_1(m_i) deg_2(m_i') - adj_1(m_i) adj_2(m_i')
//   bishop  sum over axis pairs i < i', t = 1..7 of deg_t(m_i) deg_t(m_i') - adj_t(m_i) adj_t(m_i')
//   rook    8 * (number of non-zero mode numbers)
//   queen   rook + bishop
//   king    prod_i (1 + deg_1(m_i)) - prod_i (1 + adj_1(m_i))
//
// Entry 0, the constant mode, is exactly 0 in every row.
#pragma once

#include <array>

#include "encoder/encoding.h"
#include "encoder/value_field.h"

namespace q4d {

using DiagonalDeviationTable = std::array<std::array<double, N_SQUARES>, N_PIECE_TYPES>;

// Evaluated by the compiler (192 KiB of read-only data); rows start on cache
// lines, so no vector load of the channel-10 kernels straddles two.
const DiagonalDeviationTable& diagonal_deviation_table();

}  // namespace q4d
