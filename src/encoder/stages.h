// The channel stages of encode_position. Each writes its own slice of the
// encoding and nothing else; none reads the output. Stages with hot loops
// take the instruction set to run them in (encoder/isa.h).
#pragma once

#include <cstdint>
#include <span>

#include "encoder/encoding.h"
#include "encoder/isa.h"
#include "encoder/value_field.h"

namespace q4d {

template <int N_CHANNEL>
using ChannelSlice = std::span<float, static_cast<std::size_t>(N_CHANNEL) * CHANNEL_SIZE>;

// The slice of an encoding at `out` holding channels first .. first + N_CHANNEL - 1.
template <int N_CHANNEL>
ChannelSlice<N_CHANNEL> channel_slice(float* out, int first) {
  return ChannelSlice<N_CHANNEL>(out + channel_offset(first), static_cast<std::size_t>(N_CHANNEL) * CHANNEL_SIZE);
}

// A board as every stage reads it.
struct StageBoard {
  const Board4D& board;
  std::span<const std::int16_t> occupied;  // squares with a non-zero letter, ascending
  const ValueField& field;                 // the signed value of every square
};

// Channel 0: the mean of the value field over each square's symmetry orbit.
// Only the occupied squares are visited.
void encode_orbit_mean(Isa isa, const StageBoard& in, ChannelSlice<1> out);

// Channels 1-4: the value field weighted by each coordinate's offset from the
// mean of the square's four coordinates. Only the occupied squares are
// computed; the others hold the empty board's signed zeros.
void encode_coord_residuals(const StageBoard& in, ChannelSlice<4> out);

// A target's three fiber sums and a padding lane, added as one vector.
// Lane-wise additions round exactly as scalar ones; the padding lane stays zero.
using FiberSums = double __attribute__((vector_size(4 * sizeof(double))));

inline constexpr int FIBER_TARGETS_ROOM = 256 + 16;  // one piece's targets, and a vector's spill
inline constexpr int FIBER_CHUNK = 16;                // pieces listed before their sums are taken

struct FiberScratch {
  FiberSums sums[N_SQUARES];
  alignas(64) std::int32_t targets[FIBER_CHUNK][FIBER_TARGETS_ROOM];
};

// Channels 5-7: each knight, bishop, queen and king spreads the value it
// reaches on the empty board, weighted three ways, over the squares it reaches.
void encode_cross_piece_fiber(Isa isa, const StageBoard& in, ChannelSlice<3> out, FiberScratch& scratch);

struct PawnScratch {
  double sums[2][N_SQUARES];  // W-axis, Y-axis
};

// Channels 8 and 9: W-axis and Y-axis pawns, each adding a row of the pawn
// fiber matrix along its own line of eight squares.
void encode_pawn_fibers(Isa isa, const StageBoard& in, ChannelSlice<2> out, PawnScratch& scratch);

// One piece's part of channel 10: its kind's row and its signed value.
struct DiagonalTerm {
  const double* row;  // 4096 table entries
  double value;
};

// Channel 10: every piece's kind row of the diagonal deviation table, scaled by
// its value, accumulated with fused multiply-adds in ascending square order.
// `terms` is scratch for 4096 DiagonalTerms.
void encode_diagonal_deviation(Isa isa, const StageBoard& in, ChannelSlice<1> out, DiagonalTerm* terms);

// Channel 10's loop over prepared terms, into 4096 floats.
void accumulate_diagonal_terms(Isa isa, const DiagonalTerm* terms, int n_terms, float* out);

// encode_position in the build for `isa`, which must be one of runnable_isas():
// for tests that compare the builds.
void encode_position_in(Isa isa, const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace);
Result encode_positions_in(Isa isa, const Board4D* boards, std::size_t n, void* out, EncoderWorkspace* workspace,
                           EncodingFormat format);

}  // namespace q4d
