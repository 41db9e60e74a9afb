// Channel 0: the part of the value field that every board symmetry keeps.
#include <cstring>

#if defined(Q4D_ISA_DISPATCH)
#include <immintrin.h>
#endif

#include "encoder/stages.h"
#include "encoder/tables/orbits.h"

namespace q4d {
namespace {

// Mirroring a coordinate keeps a square's orbit, so only the lines of eight
// squares (along w) with x, y and z in 0..3 are looked up; every other line
// copies the line it mirrors, which comes earlier in square order.
void fill_portable(const float* mean, float* out) {
  for (int line = 0; line < N_SQUARES; line += BOARD_SIDE) {
    const int x = square_coord(line, 0), y = square_coord(line, 1), z = square_coord(line, 2);
    const int mirror = square_index(fold_coord(x), fold_coord(y), fold_coord(z), 0);
    if (mirror == line) {
      for (int w = 0; w < BOARD_SIDE; ++w) out[line + w] = mean[orbit_tables.square_orbit[line + w]];
    } else {
      std::memcpy(out + line, out + mirror, BOARD_SIDE * sizeof(float));
    }
  }
}

#if defined(Q4D_ISA_DISPATCH)

// Sixteen squares at a time: their orbit numbers index the 35 means held in
// three registers.
Q4D_TARGET_AVX512 void fill_avx512(const float* mean, float* out) {
  alignas(64) float table[48] = {};
  std::memcpy(table, mean, N_ORBITS * sizeof(float));
  const __m512 low_table = _mm512_load_ps(table), middle_table = _mm512_load_ps(table + 16);
  const __m512 high_table = _mm512_load_ps(table + 32);
  const __m512i first_high = _mm512_set1_epi32(32);
  for (int s = 0; s < N_SQUARES; s += 16) {
    // Zero-masked forms with every lane on: GCC 12 warns about the plain
    // ones' undefined pass-through operands.
    const __m512i orbit = _mm512_maskz_cvtepu8_epi32(
        0xFFFF, _mm_loadu_si128(reinterpret_cast<const __m128i*>(orbit_tables.square_orbit.data() + s)));
    const __m512 low = _mm512_permutex2var_ps(low_table, orbit, middle_table);
    const __m512 high = _mm512_maskz_permutexvar_ps(0xFFFF, orbit, high_table);
    _mm512_storeu_ps(out + s, _mm512_mask_blend_ps(_mm512_cmpge_epi32_mask(orbit, first_high), low, high));
  }
}

#endif

}  // namespace

void encode_orbit_mean(Isa isa, const StageBoard& in, ChannelSlice<1> out) {
  const OrbitTables& t = orbit_tables;
  // Values are multiples of 0.25 no larger than 12, so every partial sum of
  // an orbit is exact: neither the order of the additions nor leaving out
  // the empty squares' +0.0 can change a bit.
  double sum[N_ORBITS] = {};
  for (const int s : in.occupied) sum[t.square_orbit[s]] += in.field[s];
  // Only the multiplication by the stored reciprocal rounds (dividing by
  // the size would not give the same bits).
  float mean[N_ORBITS];
  for (int i = 0; i < N_ORBITS; ++i) mean[i] = static_cast<float>(sum[i] * t.orbit_weights[i]);
#if defined(Q4D_ISA_DISPATCH)
  if (isa == ISA_AVX512) return fill_avx512(mean, out.data());
#endif
  (void)isa;
  fill_portable(mean, out.data());
}

}  // namespace q4d
