// The encoding of a position: 11 channels of 4096 float32 values.
//
// Every output bit is part of the contract (other implementations are
// compared with it value by value): arithmetic is in double precision, each
// element is rounded to float32 once when stored, sums run in fixed orders,
// and fused multiply-adds appear exactly where a channel's stage says so.
#pragma once

#include <array>
#include <cstddef>

#include "position/board.h"

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

// Encodes `board` into `out`, writing every element. No heap allocation, no
// state between calls: the same board always gives the same bits.
void encode_position(const Board4D& board, EncodingVector& out);

}  // namespace q4d
