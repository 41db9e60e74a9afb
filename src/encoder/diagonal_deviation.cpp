// Channel 10: the sum over all pieces of their kind's diagonal deviation row,
// scaled by the piece's signed value, in ascending order of the squares:
//
//   acc_j = +0.0;  for each piece in square order: acc_j = fma(row_kind[j], value, acc_j);
//   out[j] = (float) acc_j
//
// The vector builds hold blocks of the accumulator in registers while every
// piece passes over them, which keeps each element's sequence of fused
// operations, and so its bits, unchanged.
#include <cmath>

#include "encoder/stages.h"
#include "encoder/tables/diagonal_deviation_table.h"

#if defined(Q4D_ISA_DISPATCH)
#include <immintrin.h>
#endif

namespace q4d {
namespace {

// Blocks of 64 accumulator elements: half a KiB of stack.
void accumulate_portable(const DiagonalTerm* terms, int n_terms, float* out) {
  for (int j = 0; j < CHANNEL_SIZE; j += 64) {
    double acc[64] = {};
    for (int p = 0; p < n_terms; ++p) {
      const double* row = terms[p].row + j;
      const double value = terms[p].value;
      for (int i = 0; i < 64; ++i) acc[i] = std::fma(row[i], value, acc[i]);
    }
    for (int i = 0; i < 64; ++i) out[j + i] = static_cast<float>(acc[i]);
  }
}

#if defined(Q4D_ISA_DISPATCH)

// 8 registers of 4 doubles: 32 accumulator elements per block.
Q4D_TARGET_AVX2 void accumulate_avx2(const DiagonalTerm* terms, int n_terms, float* out) {
  constexpr int LANES = 4, REGS = 8;
  for (int base = 0; base < CHANNEL_SIZE; base += LANES * REGS) {
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
Q4D_TARGET_AVX512 void accumulate_avx512(const DiagonalTerm* terms, int n_terms, float* out) {
  constexpr int LANES = 8, REGS = 16;
  for (int base = 0; base < CHANNEL_SIZE; base += LANES * REGS) {
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

}  // namespace

void accumulate_diagonal_terms(Isa isa, const DiagonalTerm* terms, int n_terms, float* out) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa == ISA_AVX512) return accumulate_avx512(terms, n_terms, out);
  if (isa == ISA_AVX2) return accumulate_avx2(terms, n_terms, out);
#endif
  (void)isa;
  accumulate_portable(terms, n_terms, out);
}

void encode_diagonal_deviation(Isa isa, const StageBoard& in, ChannelSlice<1> out, DiagonalTerm* terms) {
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  int n_terms = 0;
  for (const int s : in.occupied) {
    const int kind = piece_type_of(in.board.pieces[s]);
    if (kind >= 0) terms[n_terms++] = {table[kind].data(), in.field[s]};
  }
  // Accumulating piece by piece matters: summing the values of each kind
  // first would round differently.
  accumulate_diagonal_terms(isa, terms, n_terms, out.data());
}

}  // namespace q4d
