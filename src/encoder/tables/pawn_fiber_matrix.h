// The antisymmetric one-step move along a line of eight squares, written in
// the line eigenmode basis:
//
//   M[r][k] = 1/2 * sum_{x=0..6} ( b_r(x+1) b_k(x) - b_r(x) b_k(x+1) )
//
// M is antisymmetric and M[r][k] is exactly 0 whenever r + k is even; those
// entries are stored as exact zeros, not as rounding residues. Evaluated by
// the compiler, in IEEE double arithmetic, from the literal line basis.
#pragma once

#include <array>

#include "encoder/tables/line_basis.h"

namespace q4d {

using PawnFiberMatrix = std::array<std::array<double, 8>, 8>;  // [row r][column k]

inline constexpr PawnFiberMatrix PAWN_FIBER_MATRIX = [] {
  const LineBasis& basis = LINE_BASIS;
  PawnFiberMatrix m{};
  for (int r = 0; r < 8; ++r) {
    for (int k = 0; k < 8; ++k) {
      if ((r + k) % 2 == 0) continue;  // exactly zero; the sum would leave a residue
      const double* br = basis.b[r];
      const double* bk = basis.b[k];
      double sum = 0.0;
      for (int x = 0; x < 7; ++x) sum += br[x + 1] * bk[x] - br[x] * bk[x + 1];
      m[r][k] = 0.5 * sum;
    }
  }
  return m;
}();

constexpr const PawnFiberMatrix& pawn_fiber_matrix() { return PAWN_FIBER_MATRIX; }

}  // namespace q4d
