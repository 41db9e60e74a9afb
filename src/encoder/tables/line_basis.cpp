#include "encoder/tables/line_basis.h"

#include <cmath>
#include <numbers>

namespace q4d {
namespace {

LineBasis make_line_basis() {
  constexpr double SIGN[8] = {-1.0, 1.0, 1.0, 1.0, -1.0, 1.0, 1.0, 1.0};
  const double pi = std::numbers::pi;
  LineBasis basis{};
  for (int m = 0; m < 8; ++m) {
    const double norm = std::sqrt((m == 0 ? 1.0 : 2.0) / 8.0);
    for (int x = 0; x < 8; ++x) basis.b[m][x] = SIGN[m] * norm * std::cos(pi * m * (2 * x + 1) / 16.0);
    basis.mu[m] = 2.0 - 2.0 * std::cos(pi * m / 8.0);
  }
  return basis;
}

}  // namespace

const LineBasis& line_basis() {
  static const LineBasis basis = make_line_basis();
  return basis;
}

}  // namespace q4d
