// Offset of a square's coordinate along one axis from the mean of its four
// coordinates: R_k = c_k - (x + y + z + w) / 4. Every value is a multiple of
// 0.25 in -5.25 .. 5.25, exact in double; a zero is always +0.0.
#pragma once

#include "position/board.h"

namespace q4d {

// R for coordinate c of a square whose four coordinates add up to coord_sum.
constexpr double coord_residual(int c, int coord_sum) {
  return static_cast<double>(c) - static_cast<double>(coord_sum) / 4.0;
}

// R_axis of square s.
constexpr double coord_residual_at(int axis, int s) {
  const int sum = square_coord(s, 0) + square_coord(s, 1) + square_coord(s, 2) + square_coord(s, 3);
  return coord_residual(square_coord(s, axis), sum);
}

}  // namespace q4d
