// Channels 8 and 9: each pawn adds (white) or subtracts (black) the row of the
// pawn fiber matrix chosen by its coordinate along its axis, over the line of
// eight squares through it along that axis.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "encoder/occupied_squares.h"
#include "encoder/stages.h"
#include "encoder/tables/pawn_fiber_matrix.h"

namespace q4d {
namespace {

constexpr int AXIS_Y = 1;
constexpr int AXIS_W = 3;

// Built for each instruction set (run_for_isa), so that std::fma is one
// instruction wherever the processor has it.
void encode_pawn_fiber(const Board4D* board_ptr, std::uint8_t pawn_axis, int axis, float* out, double* acc) {
  const Board4D& board = *board_ptr;
  const PawnFiberMatrix& m = pawn_fiber_matrix();
  const int stride = 1 << (3 * (3 - axis));  // w: 1, y: 64
  // Only the lines that hold a pawn get an accumulator; every other element
  // is +0.0, what rounding an untouched accumulator entry gives.
  std::uint64_t line_started[N_SQUARES / 64] = {};  // by the line's first square
  std::memset(out, 0, CHANNEL_SIZE * sizeof(float));
  for_each_occupied(board.pieces, [&](int s) {
    const std::uint8_t letter = board.pieces[s];
    if ((letter != 'P' && letter != 'p') || board.pawn_axis[s] != pawn_axis) return;
    const int r = square_coord(s, axis);
    const int start = s - r * stride;
    std::uint64_t& started = line_started[start / 64];
    if ((started >> (start % 64) & 1) == 0) {
      started |= std::uint64_t{1} << (start % 64);
      for (int k = 0; k < 8; ++k) acc[start + stride * k] = +0.0;
    }
    const double sign = letter == 'P' ? 1.0 : -1.0;
    for (int k = 0; k < 8; ++k) {
      double& a = acc[start + stride * k];
      a = std::fma(sign, m[r][k], a);
    }
  });
  for (int word = 0; word < N_SQUARES / 64; ++word) {
    for (std::uint64_t bits = line_started[word]; bits != 0; bits &= bits - 1) {
      const int start = word * 64 + std::countr_zero(bits);
      for (int k = 0; k < 8; ++k) out[start + stride * k] = static_cast<float>(acc[start + stride * k]);
    }
  }
}

}  // namespace

void encode_pawn_fiber_w(Isa isa, const Board4D& board, ChannelSlice<1> out, double* sums) {
  run_for_isa<encode_pawn_fiber>(isa, &board, PAWN_AXIS_W, AXIS_W, out.data(), sums);
}

void encode_pawn_fiber_y(Isa isa, const Board4D& board, ChannelSlice<1> out, double* sums) {
  run_for_isa<encode_pawn_fiber>(isa, &board, PAWN_AXIS_Y, AXIS_Y, out.data(), sums);
}

}  // namespace q4d
