// The encoding of a position: 11 channels of 4096 float32 values.
//
// Every output bit is part of the contract (other implementations are
// compared with it value by value): arithmetic is in double precision, each
// element is rounded to float32 once when stored, sums run in fixed orders,
// and fused multiply-adds appear exactly where a channel's stage says so.
#pragma once

#include <array>
#include <cstddef>

#include "../position/board.h"  // public headers include each other by relative path

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
// is 192 KiB, so keep it off the stack (static, a member, or the heap).
inline constexpr std::size_t ENCODER_WORKSPACE_SIZE = 192 * 1024;
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

// Encodes boards[0 .. n) on the calling thread into out, ENCODING_DIM floats
// per board, board k at out + k * ENCODING_DIM. Returns 0, or -1 when an
// argument is absent (null pointers are fine when n is 0).
[[nodiscard]] int encode_positions(const Board4D* boards, std::size_t n, float* out, EncoderWorkspace* workspace);

}  // namespace q4d
