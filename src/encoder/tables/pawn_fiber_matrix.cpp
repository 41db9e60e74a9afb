#include "encoder/tables/pawn_fiber_matrix.h"

#include "encoder/tables/line_basis.h"

namespace q4d {
namespace {

PawnFiberMatrix make_pawn_fiber_matrix() {
  const LineBasis& basis = line_basis();
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
}

}  // namespace

const PawnFiberMatrix& pawn_fiber_matrix() {
  static const PawnFiberMatrix matrix = make_pawn_fiber_matrix();
  return matrix;
}

}  // namespace q4d
