// The hot loop of channel 10: for every element j,
//
//   acc_j = +0.0;  for each term in order: acc_j = fma(row[j], value, acc_j);
//   out[j] = (float) acc_j
//
// The portable kernel runs it as written; the vector kernels hold blocks of
// the accumulator in registers while every term passes over them, which keeps
// each element's sequence of fused operations, and so its bits, unchanged.
#pragma once

#include <span>

#include "encoder/encoding.h"

namespace q4d {

struct DiagonalTerm {
  const double* row;  // 4096 table entries
  double value;       // the piece's signed value
};

using DiagonalKernel = void (*)(const DiagonalTerm* terms, int n_terms, float* out);

struct NamedDiagonalKernel {
  const char* name;
  DiagonalKernel run;
};

// The kernels this machine can run, portable first.
std::span<const NamedDiagonalKernel> available_diagonal_kernels();

// The fastest of them, chosen once.
DiagonalKernel selected_diagonal_kernel();

}  // namespace q4d
