// Eigenvectors of the Laplacian of a line of eight squares.
//
//   b_m(x) = sign_m * sqrt(n_m / 8) * cos(pi * m * (2x + 1) / 16),  n_0 = 1, n_m = 2
//   mu_m   = 2 - 2 cos(pi * m / 8)                                  (eigenvalue of b_m)
//
// The signs (-, +, +, +, -, +, +, +) are part of the encoding: they fix the
// sign of the pawn fiber matrix's rows and columns. Products of four line
// vectors, one per axis, are the board's eigenmodes.
#pragma once

namespace q4d {

struct LineBasis {
  double b[8][8];  // [mode m][coordinate x]
  double mu[8];    // eigenvalue of mode m
};

// Generated on first use, then read-only.
const LineBasis& line_basis();

}  // namespace q4d
