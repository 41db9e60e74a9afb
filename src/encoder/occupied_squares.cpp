#include "encoder/occupied_squares.h"

#include <bit>
#include <cstring>

#if defined(Q4D_ISA_DISPATCH)
#include <immintrin.h>
#endif

namespace q4d {
namespace {

// Appends base + i for every set bit i of `nonzero`, lowest first.
template <class Word>
int append_set_bits(Word nonzero, int base, std::int16_t* out, int n) {
  for (; nonzero != 0; nonzero &= nonzero - 1) out[n++] = static_cast<std::int16_t>(base + std::countr_zero(nonzero));
  return n;
}

// Eight letters at a time, one bit per non-zero byte.
int list_portable(const PieceLetters* pieces, std::int16_t* out) {
  int n = 0;
  for (int base = 0; base < N_SQUARES; base += 8) {
    std::uint64_t word;
    std::memcpy(&word, pieces->data() + base, sizeof word);
    if (word == 0) continue;
    unsigned nonzero = 0;
    for (int i = 0; i < 8; ++i) nonzero |= static_cast<unsigned>((*pieces)[base + i] != 0) << i;
    n = append_set_bits(nonzero, base, out, n);
  }
  return n;
}

#if defined(Q4D_ISA_DISPATCH)

Q4D_TARGET_AVX2 int list_avx2(const PieceLetters* pieces, std::int16_t* out) {
  int n = 0;
  const __m256i zero = _mm256_setzero_si256();
  for (int base = 0; base < N_SQUARES; base += 32) {
    const __m256i letters = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pieces->data() + base));
    const auto empty = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(letters, zero)));
    n = append_set_bits(~empty, base, out, n);
  }
  return n;
}

Q4D_TARGET_AVX512 int list_avx512(const PieceLetters* pieces, std::int16_t* out) {
  int n = 0;
  for (int base = 0; base < N_SQUARES; base += 64) {
    const __m512i letters = _mm512_loadu_si512(pieces->data() + base);
    n = append_set_bits(static_cast<std::uint64_t>(_mm512_test_epi8_mask(letters, letters)), base, out, n);
  }
  return n;
}

#endif

}  // namespace

int list_occupied_squares(Isa isa, const PieceLetters& pieces, std::int16_t* out) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa == ISA_AVX512) return list_avx512(&pieces, out);
  if (isa == ISA_AVX2) return list_avx2(&pieces, out);
#endif
  (void)isa;
  return list_portable(&pieces, out);
}

}  // namespace q4d
