#include "encoder/final_stores.h"

#include <cstdint>
#include <cstring>

#if defined(Q4D_ISA_DISPATCH)
#include <immintrin.h>
#endif

namespace q4d {
namespace {

void store_bfloat16_portable(const float* values, std::size_t n, unsigned char* out) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t b = bfloat16_bits(values[i]);
    std::memcpy(out + 2 * i, &b, sizeof b);
  }
}

#if defined(Q4D_ISA_DISPATCH)

// bfloat16_bits of eight finite values, each in the low half of its 32-bit
// lane: the rounding bias added, ties to the even neighbour.
Q4D_TARGET_AVX2 inline __m256i bfloat16_lanes(__m256 values) {
  const __m256i bits = _mm256_castps_si256(values);
  const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(bits, 16), _mm256_set1_epi32(1));
  return _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(bits, _mm256_set1_epi32(0x7FFF)), odd), 16);
}

// bfloat16_bits of sixteen values, in order, where none is a NaN; the lanes
// that are go into `nan`, so that the caller redoes them.
Q4D_TARGET_AVX2 inline __m256i bfloat16_x16(const float* values, __m256& nan) {
  const __m256 low = _mm256_loadu_ps(values), high = _mm256_loadu_ps(values + 8);
  nan = _mm256_or_ps(nan, _mm256_or_ps(_mm256_cmp_ps(low, low, _CMP_UNORD_Q), _mm256_cmp_ps(high, high, _CMP_UNORD_Q)));
  const __m256i packed = _mm256_packus_epi32(bfloat16_lanes(low), bfloat16_lanes(high));
  return _mm256_permute4x64_epi64(packed, 0xD8);  // packus interleaves the two 128-bit lanes
}

// bfloat16_bits of eight values (see bfloat16_x16).
Q4D_TARGET_AVX2 inline __m128i bfloat16_x8(const float* values, __m256& nan) {
  const __m256 v = _mm256_loadu_ps(values);
  nan = _mm256_or_ps(nan, _mm256_cmp_ps(v, v, _CMP_UNORD_Q));
  const __m256i lanes = bfloat16_lanes(v);
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(lanes, lanes), 0x08));
}

// The 16 and 32 bytes of output that values[0 ..) make.
Q4D_TARGET_AVX2 inline __m128i bytes16(const float* values, EncodingDtype dtype, __m256& nan) {
  return dtype == DTYPE_FLOAT32 ? _mm_castps_si128(_mm_loadu_ps(values)) : bfloat16_x8(values, nan);
}
Q4D_TARGET_AVX2 inline __m256i bytes32(const float* values, EncodingDtype dtype, __m256& nan) {
  return dtype == DTYPE_FLOAT32 ? _mm256_castps_si256(_mm256_loadu_ps(values)) : bfloat16_x16(values, nan);
}

// Serves the AVX-512 build too: 32-byte non-temporal stores fill whole lines
// in the write-combining buffers as 64-byte ones do. Streamed, an output at
// a 16-byte boundary starts and ends with 16-byte non-temporal stores (an
// ordinary store there would read its line first); one that is not at such
// a boundary cannot be streamed.
Q4D_TARGET_AVX2 void store_avx2(const float* values, std::size_t n, unsigned char* out, EncodingFormat format) {
  const EncodingDtype dtype = format.dtype;
  const std::size_t size = dtype == DTYPE_FLOAT32 ? 4 : 2;
  const std::size_t half = 16 / size;  // values in 16 bytes
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  __m256 nan = _mm256_setzero_ps();
  std::size_t i = 0;
  if (format.streaming && address % 16 == 0) {
    if (address % 32 != 0 && n >= half) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(out), bytes16(values, dtype, nan));
      i = half;
    }
    for (; i + 2 * half <= n; i += 2 * half) {
      _mm256_stream_si256(reinterpret_cast<__m256i*>(out + size * i), bytes32(values + i, dtype, nan));
    }
    if (i + half <= n) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + size * i), bytes16(values + i, dtype, nan));
      i += half;
    }
  } else {
    for (; i + 2 * half <= n; i += 2 * half) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + size * i), bytes32(values + i, dtype, nan));
    }
  }
  // The last few values, and every value again if one was a NaN (never in
  // an encoding), one by one after the stores above.
  const bool redo = !_mm256_testz_ps(nan, nan);
  if (redo) {
    _mm_sfence();
    i = 0;
  }
  if (dtype == DTYPE_FLOAT32) {
    std::memcpy(out + 4 * i, values + i, (n - i) * 4);
  } else {
    store_bfloat16_portable(values + i, n - i, out + 2 * i);
  }
}

#endif

}  // namespace

void store_values(Isa isa, const float* values, std::size_t n, unsigned char* out, EncodingFormat format) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa != ISA_PORTABLE) return store_avx2(values, n, out, format);
#endif
  (void)isa;
  if (format.dtype == DTYPE_FLOAT32) {
    std::memcpy(out, values, n * sizeof(float));
  } else {
    store_bfloat16_portable(values, n, out);
  }
}

void finish_stores(Isa isa, EncodingFormat format) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa != ISA_PORTABLE && format.streaming) _mm_sfence();
#endif
  (void)isa;
  (void)format;
}

}  // namespace q4d
