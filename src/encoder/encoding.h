// The encoding of a position: 11 channels of 4096 float32 values.
//
// Every output bit is part of the contract (other implementations are
// compared with it value by value): arithmetic is in double precision, each
// element is rounded to float32 once when stored, sums run in fixed orders,
// and fused multiply-adds appear exactly where a channel's stage says so.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../base/result.h"  // public headers include each other by relative path
#include "../position/board.h"

namespace q4d {

inline constexpr int N_CHANNELS = 11;
inline constexpr int CHANNEL_SIZE = N_SQUARES;
inline constexpr int ENCODING_DIM = N_CHANNELS * CHANNEL_SIZE;  // 45056
inline constexpr int B4_ORDER = 384;  // symmetries of the board: 4! axis orders x 2^4 mirrors
inline constexpr int N_ORBITS = 35;   // orbits of those symmetries on the squares

// Channel c occupies elements c*4096 ... c*4096+4095 of an EncodingVector.
enum EncodingChannel {
  CH_A1 = 0,         // orbit mean
  CH_STD4_X = 1,     // coordinate residuals, one channel per axis
  CH_STD4_Y = 2,
  CH_STD4_Z = 3,
  CH_STD4_W = 4,
  CH_FIB_SYM_1 = 5,  // cross-piece fiber, three weight components
  CH_FIB_SYM_2 = 6,
  CH_FIB_SYM_3 = 7,
  CH_FA_PAWN_W = 8,  // pawn fiber of the W-axis pawns
  CH_FA_PAWN_Y = 9,  // pawn fiber of the Y-axis pawns
  CH_FD_DIAG = 10,   // diagonal deviation, indexed by board eigenmode
};

using EncodingVector = std::array<float, ENCODING_DIM>;

constexpr std::size_t channel_offset(int channel) { return static_cast<std::size_t>(channel) * CHANNEL_SIZE; }

// Scratch space of the encoder, owned by the caller and reused from one call
// to the next (one per thread). Its contents between calls mean nothing; it
// is 256 KiB, so keep it off the stack (static, a member, or the heap).
inline constexpr std::size_t ENCODER_WORKSPACE_SIZE = 256 * 1024;
struct alignas(64) EncoderWorkspace {
  unsigned char bytes[ENCODER_WORKSPACE_SIZE];
};

// Encodes `board` into `out`, writing every element, with `workspace` as
// scratch. No heap allocation, no state between calls: the same board always
// gives the same bits.
void encode_position(const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace);

// The same with a workspace the library keeps, shared by all threads one call
// at a time: to encode on several threads at once, give each its own.
void encode_position(const Board4D& board, EncodingVector& out);

// The type of the values a batch entry point writes.
enum EncodingDtype : int {
  DTYPE_FLOAT32 = 0,   // the encoding's own values
  DTYPE_BFLOAT16 = 1,  // each float32 value rounded to bfloat16 (bfloat16_bits): half the bytes
};

// How a batch's encodings are written: board k's ENCODING_DIM values of
// `dtype` start at byte k * encoding_bytes(dtype) of the output.
struct EncodingFormat {
  EncodingDtype dtype = DTYPE_FLOAT32;
  // Final stores that go around the caches (non-temporal, where the processor
  // has them), so that an output line is written without being read first:
  // for outputs larger than the caches that are not read back at once
  // (training batches). The bits are the same either way.
  bool streaming = false;
};

// Bytes of one encoding of `dtype`: 180 224 for float32, 90 112 for bfloat16.
constexpr std::size_t encoding_bytes(EncodingDtype dtype) {
  return static_cast<std::size_t>(ENCODING_DIM) * (dtype == DTYPE_BFLOAT16 ? 2 : 4);
}

// The bfloat16 of a float32 value (the float32's upper 16 bits, as a
// bfloat16 tensor holds them): rounded to the nearest, ties to even, from
// the exact float32 value; a value beyond the largest bfloat16 becomes an
// infinity of its sign. A NaN stays a NaN of its sign, made quiet.
inline std::uint16_t bfloat16_bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);  // the public headers are C++17: no std::bit_cast
  if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<std::uint16_t>((bits >> 16) | 0x0040u);
  return static_cast<std::uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

// Encodes boards[0 .. n) on the calling thread into `out` as `format` says
// (by default float32 with ordinary stores: ENCODING_DIM floats per board,
// board k at (float*)out + k * ENCODING_DIM). Returns OK, ERR_NULL when an
// argument is absent (null pointers are fine when n is 0) or ERR_ARGUMENT
// for a dtype that is none of the above. Any alignment of `out` gives the
// same bits; 32-byte alignment is the fastest.
Result encode_positions(const Board4D* boards, std::size_t n, void* out, EncoderWorkspace* workspace,
                        EncodingFormat format = {});

}  // namespace q4d
