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

// Elements to write one by one before `out` + that many elements of `size`
// bytes reaches a 32-byte boundary; n when it never does.
std::size_t head_before_alignment(const unsigned char* out, std::size_t size, std::size_t n) {
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  if (address % size != 0) return n;
  const std::size_t head = (32 - address % 32) % 32 / size;
  return head < n ? head : n;
}

// bfloat16_bits of eight values, each in the low half of its 32-bit lane.
Q4D_TARGET_AVX2 inline __m256i bfloat16_lanes(__m256 values) {
  const __m256i bits = _mm256_castps_si256(values);
  const __m256i upper = _mm256_srli_epi32(bits, 16);
  const __m256i rounded = _mm256_srli_epi32(
      _mm256_add_epi32(_mm256_add_epi32(bits, _mm256_set1_epi32(0x7FFF)), _mm256_and_si256(upper, _mm256_set1_epi32(1))),
      16);
  const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(bits, _mm256_set1_epi32(0x7FFFFFFF)),
                                         _mm256_set1_epi32(0x7F800000));
  return _mm256_blendv_epi8(rounded, _mm256_or_si256(upper, _mm256_set1_epi32(0x0040)), nan);
}

// bfloat16_bits of sixteen values, in order.
Q4D_TARGET_AVX2 inline __m256i bfloat16_x16(const float* values) {
  const __m256i packed = _mm256_packus_epi32(bfloat16_lanes(_mm256_loadu_ps(values)),
                                             bfloat16_lanes(_mm256_loadu_ps(values + 8)));
  return _mm256_permute4x64_epi64(packed, 0xD8);  // packus interleaves the two 128-bit lanes
}

// Serves the AVX-512 build too: 32-byte non-temporal stores fill whole lines
// in the write-combining buffers as 64-byte ones do.
Q4D_TARGET_AVX2 void store_avx2(const float* values, std::size_t n, unsigned char* out, EncodingFormat format) {
  if (format.dtype == DTYPE_FLOAT32) {
    std::size_t i = format.streaming ? head_before_alignment(out, 4, n) : n;
    std::memcpy(out, values, i * 4);
    for (; i + 8 <= n; i += 8) _mm256_stream_ps(reinterpret_cast<float*>(out + 4 * i), _mm256_loadu_ps(values + i));
    std::memcpy(out + 4 * i, values + i, (n - i) * 4);
    return;
  }
  std::size_t i = format.streaming ? head_before_alignment(out, 2, n) : 0;
  store_bfloat16_portable(values, i, out);
  for (; i + 16 <= n; i += 16) {
    auto* at = reinterpret_cast<__m256i*>(out + 2 * i);
    if (format.streaming) {
      _mm256_stream_si256(at, bfloat16_x16(values + i));
    } else {
      _mm256_storeu_si256(at, bfloat16_x16(values + i));
    }
  }
  store_bfloat16_portable(values + i, n - i, out + 2 * i);
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
