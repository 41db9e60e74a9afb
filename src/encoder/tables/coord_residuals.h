// Offset of a square's coordinate along one axis from the mean of its four
// coordinates: R_k = c_k - (x + y + z + w) / 4. Every value is a multiple of
// 0.25 in -5.25 .. 5.25, exact in double; a zero is always +0.0.
#pragma once

#include "position/board.h"

namespace q4d {

// R_axis of square s.
constexpr double coord_residual_at(int axis, int s) {
  const int sum = square_coord(s, 0) + square_coord(s, 1) + square_coord(s, 2) + square_coord(s, 3);
  return static_cast<double>(square_coord(s, axis)) - static_cast<double>(sum) / 4.0;
}

}  // namespace q4d
