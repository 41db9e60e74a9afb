#include "encoder/final_stores.h"

#include <cstdint>
#include <cstring>

#if defined(Q4D_ISA_DISPATCH)
#include <immintrin.h>
#endif

namespace q4d {
namespace {

constexpr std::size_t value_size(EncodingDtype dtype) { return encoding_bytes(dtype) / ENCODING_DIM; }

void squares_portable(const FinalStores& s, int first, int count) {
  const std::size_t size = value_size(s.dtype);
  for (int c = 0; c < N_CHANNELS; ++c) {
    const std::size_t at = channel_offset(c) + static_cast<std::size_t>(first);
    const float* from = s.values + at;
    unsigned char* to = s.out + at * size;
    if (s.dtype == DTYPE_FLOAT32) {
      std::memcpy(to, from, static_cast<std::size_t>(count) * sizeof(float));
      continue;
    }
    for (int i = 0; i < count; ++i) {
      const std::uint16_t b = bfloat16_bits(from[i]);
      std::memcpy(to + 2 * i, &b, sizeof b);
    }
  }
}

#if defined(Q4D_ISA_DISPATCH)

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

template <StoreKind KIND>
Q4D_TARGET_AVX2 inline void store32(unsigned char* at, __m256i v) {
  if constexpr (KIND == STORE_STREAM32) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(at), v);
  } else if constexpr (KIND == STORE_STREAM16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(v));
    _mm_stream_si128(reinterpret_cast<__m128i*>(at + 16), _mm256_extracti128_si256(v, 1));
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v);
  }
}

// Serves the AVX-512 build too: 32-byte non-temporal stores fill whole lines
// in the write-combining buffers as 64-byte ones do.
template <EncodingDtype DTYPE, StoreKind KIND>
Q4D_TARGET_AVX2 void squares_avx2(const FinalStores& s, int first, int count) {
  constexpr std::size_t SIZE = value_size(DTYPE);
  for (int c = 0; c < N_CHANNELS; ++c) {
    const std::size_t at = channel_offset(c) + static_cast<std::size_t>(first);
    const float* from = s.values + at;
    unsigned char* to = s.out + at * SIZE;
    for (int i = 0; i < count; i += 16) {
      if constexpr (DTYPE == DTYPE_FLOAT32) {
        store32<KIND>(to + 4 * i, _mm256_castps_si256(_mm256_loadu_ps(from + i)));
        store32<KIND>(to + 4 * i + 32, _mm256_castps_si256(_mm256_loadu_ps(from + i + 8)));
      } else {
        store32<KIND>(to + 2 * i, bfloat16_x16(from + i));
      }
    }
  }
}

template <EncodingDtype DTYPE>
void squares_avx2_for(const FinalStores& s, int first, int count) {
  switch (s.kind) {
    case STORE_STREAM32: return squares_avx2<DTYPE, STORE_STREAM32>(s, first, count);
    case STORE_STREAM16: return squares_avx2<DTYPE, STORE_STREAM16>(s, first, count);
    default: return squares_avx2<DTYPE, STORE_PLAIN>(s, first, count);
  }
}

#endif

}  // namespace

FinalStores final_stores(const float* values, unsigned char* out, EncodingFormat format) {
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  StoreKind kind = STORE_PLAIN;
  if (format.streaming) kind = address % 32 == 0 ? STORE_STREAM32 : address % 16 == 0 ? STORE_STREAM16 : STORE_PLAIN;
  return {values, out, format.dtype, kind};
}

void store_squares(Isa isa, const FinalStores& stores, int first, int count) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa != ISA_PORTABLE) {
    if (stores.dtype == DTYPE_BFLOAT16) return squares_avx2_for<DTYPE_BFLOAT16>(stores, first, count);
    return squares_avx2_for<DTYPE_FLOAT32>(stores, first, count);
  }
#endif
  (void)isa;
  squares_portable(stores, first, count);
}

void finish_stores(Isa isa, EncodingFormat format) {
#if defined(Q4D_ISA_DISPATCH)
  if (isa != ISA_PORTABLE && format.streaming) _mm_sfence();
#endif
  (void)isa;
  (void)format;
}

}  // namespace q4d
