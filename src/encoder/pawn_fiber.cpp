// Channels 8 and 9: each pawn adds (white) or subtracts (black) the row of the
// pawn fiber matrix chosen by its coordinate along its axis, over the line of
// eight squares through it along that axis: W-axis pawns into channel 8,
// Y-axis pawns into channel 9.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "encoder/stages.h"
#include "encoder/tables/pawn_fiber_matrix.h"

namespace q4d {
namespace {

struct PawnAxis {
  int axis;    // the coordinate the pawn moves along
  int stride;  // the change of square index of one step along it
};
constexpr PawnAxis AXES[2] = {{3, 1}, {1, 64}};  // by pawn_axis flag: W, Y

// Built for each instruction set (run_for_isa), so that std::fma is one
// instruction wherever the processor has it.
void add_pawn_rows(const StageBoard* in, float* out, PawnScratch* scratch) {
  const PawnFiberMatrix& m = pawn_fiber_matrix();
  // Only the lines that hold a pawn get an accumulator; every other element
  // is +0.0, what rounding an untouched accumulator entry gives.
  std::uint64_t line_started[2][N_SQUARES / 64] = {};  // by the line's first square
  std::memset(out, 0, 2 * CHANNEL_SIZE * sizeof(float));
  for (const int s : in->occupied) {
    const std::uint8_t letter = in->board.pieces[s];
    const std::uint8_t flag = in->board.pawn_axis[s];
    if ((letter != 'P' && letter != 'p') || flag > PAWN_AXIS_Y) continue;  // other flags name no axis
    const PawnAxis a = AXES[flag];
    double* acc = scratch->sums[flag];
    const int r = square_coord(s, a.axis);
    const int start = s - r * a.stride;
    std::uint64_t& started = line_started[flag][start / 64];
    if ((started >> (start % 64) & 1) == 0) {
      started |= std::uint64_t{1} << (start % 64);
      for (int k = 0; k < 8; ++k) acc[start + a.stride * k] = +0.0;
    }
    const double sign = letter == 'P' ? 1.0 : -1.0;
    for (int k = 0; k < 8; ++k) {
      double& sum = acc[start + a.stride * k];
      sum = std::fma(sign, m[r][k], sum);
    }
  }
  for (int flag = 0; flag < 2; ++flag) {
    const int stride = AXES[flag].stride;
    const double* acc = scratch->sums[flag];
    float* channel = out + flag * CHANNEL_SIZE;
    for (int word = 0; word < N_SQUARES / 64; ++word) {
      for (std::uint64_t bits = line_started[flag][word]; bits != 0; bits &= bits - 1) {
        const int start = word * 64 + std::countr_zero(bits);
        for (int k = 0; k < 8; ++k) channel[start + stride * k] = static_cast<float>(acc[start + stride * k]);
      }
    }
  }
}

}  // namespace

void encode_pawn_fibers(Isa isa, const StageBoard& in, ChannelSlice<2> out, PawnScratch& scratch) {
  static_assert(CH_FA_PAWN_Y == CH_FA_PAWN_W + 1 && PAWN_AXIS_W == 0 && PAWN_AXIS_Y == 1);
  run_for_isa<add_pawn_rows>(isa, &in, out.data(), &scratch);
}

}  // namespace q4d
