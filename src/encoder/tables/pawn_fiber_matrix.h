// The antisymmetric one-step move along a line of eight squares, written in
// the line eigenmode basis:
//
//   M[r][k] = 1/2 * sum_{x=0..6} ( b_r(x+1) b_k(x) - b_r(x) b_k(x+1) )
//
// M is antisymmetric and M[r][k] is exactly 0 whenever r + k is even; those
// entries are stored as exact zeros, not as rounding residues.
#pragma once

#include <array>

namespace q4d {

using PawnFiberMatrix = std::array<std::array<double, 8>, 8>;  // [row r][column k]

// Generated on first use, then read-only.
const PawnFiberMatrix& pawn_fiber_matrix();

}  // namespace q4d
