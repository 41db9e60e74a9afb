#include "encoder/diagonal_deviation_kernels.h"

#include <array>
#include <cmath>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define Q4D_X86_KERNELS 1
#endif

namespace q4d {
namespace {

void diagonal_kernel_portable(const DiagonalTerm* terms, int n_terms, float* out) {
  double acc[N_SQUARES] = {};
  for (int p = 0; p < n_terms; ++p) {
    const double* row = terms[p].row;
    const double value = terms[p].value;
    for (int j = 0; j < N_SQUARES; ++j) acc[j] = std::fma(row[j], value, acc[j]);
  }
  for (int j = 0; j < N_SQUARES; ++j) out[j] = static_cast<float>(acc[j]);
}

#ifdef Q4D_X86_KERNELS

// 8 registers of 4 doubles: 32 accumulator elements per block.
__attribute__((target("avx2,fma"))) void diagonal_kernel_avx2(const DiagonalTerm* terms, int n_terms, float* out) {
  constexpr int LANES = 4;
  constexpr int REGS = 8;
  for (int base = 0; base < N_SQUARES; base += LANES * REGS) {
    __m256d acc[REGS];
    for (int r = 0; r < REGS; ++r) acc[r] = _mm256_setzero_pd();
    for (int p = 0; p < n_terms; ++p) {
      const double* row = terms[p].row + base;
      const __m256d value = _mm256_set1_pd(terms[p].value);
      for (int r = 0; r < REGS; ++r) acc[r] = _mm256_fmadd_pd(_mm256_loadu_pd(row + r * LANES), value, acc[r]);
    }
    for (int r = 0; r < REGS; ++r) _mm_storeu_ps(out + base + r * LANES, _mm256_cvtpd_ps(acc[r]));
  }
}

// 16 registers of 8 doubles: 128 accumulator elements per block. (The masked
// conversion is the plain one with every lane selected; GCC 12 warns about
// the unmasked intrinsic's undefined pass-through operand.)
__attribute__((target("avx512f"))) void diagonal_kernel_avx512(const DiagonalTerm* terms, int n_terms, float* out) {
  constexpr int LANES = 8;
  constexpr int REGS = 16;
  for (int base = 0; base < N_SQUARES; base += LANES * REGS) {
    __m512d acc[REGS];
    for (int r = 0; r < REGS; ++r) acc[r] = _mm512_setzero_pd();
    for (int p = 0; p < n_terms; ++p) {
      const double* row = terms[p].row + base;
      const __m512d value = _mm512_set1_pd(terms[p].value);
      for (int r = 0; r < REGS; ++r) acc[r] = _mm512_fmadd_pd(_mm512_loadu_pd(row + r * LANES), value, acc[r]);
    }
    for (int r = 0; r < REGS; ++r) _mm256_storeu_ps(out + base + r * LANES, _mm512_maskz_cvtpd_ps(0xFF, acc[r]));
  }
}

#endif

struct KernelList {
  std::array<NamedDiagonalKernel, 3> kernels;
  int count;
};

KernelList detect_kernels() {
  KernelList list{};
  list.kernels[list.count++] = {"portable", diagonal_kernel_portable};
#ifdef Q4D_X86_KERNELS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    list.kernels[list.count++] = {"avx2+fma", diagonal_kernel_avx2};
  }
  if (__builtin_cpu_supports("avx512f")) list.kernels[list.count++] = {"avx512f", diagonal_kernel_avx512};
#endif
  return list;
}

const KernelList& kernel_list() {
  static const KernelList list = detect_kernels();
  return list;
}

}  // namespace

std::span<const NamedDiagonalKernel> available_diagonal_kernels() {
  const KernelList& list = kernel_list();
  return {list.kernels.data(), static_cast<std::size_t>(list.count)};
}

DiagonalKernel selected_diagonal_kernel() {
  static const DiagonalKernel fastest = available_diagonal_kernels().back().run;
  return fastest;
}

}  // namespace q4d
