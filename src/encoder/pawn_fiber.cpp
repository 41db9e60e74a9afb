// Channels 8 and 9: each pawn adds (white) or subtracts (black) the row of the
// pawn fiber matrix chosen by its coordinate along its axis, over the line of
// eight squares through it along that axis.
#include <cmath>

#include "encoder/stages.h"
#include "encoder/tables/pawn_fiber_matrix.h"

namespace q4d {
namespace {

constexpr int AXIS_Y = 1;
constexpr int AXIS_W = 3;

void encode_pawn_fiber(const Board4D& board, std::uint8_t pawn_axis, int axis, ChannelSlice<1> out) {
  const PawnFiberMatrix& m = pawn_fiber_matrix();
  const int stride = 1 << (3 * (3 - axis));  // w: 1, y: 64
  double acc[N_SQUARES] = {};
  for (int s = 0; s < N_SQUARES; ++s) {
    const std::uint8_t letter = board.pieces[s];
    if ((letter != 'P' && letter != 'p') || board.pawn_axis[s] != pawn_axis) continue;
    const double sign = letter == 'P' ? 1.0 : -1.0;
    const int r = square_coord(s, axis);
    const int start = s - r * stride;
    for (int k = 0; k < 8; ++k) {
      double& a = acc[start + stride * k];
      a = std::fma(sign, m[r][k], a);
    }
  }
  for (int e = 0; e < N_SQUARES; ++e) out[e] = static_cast<float>(acc[e]);
}

}  // namespace

void encode_pawn_fiber_w(const Board4D& board, ChannelSlice<1> out) {
  encode_pawn_fiber(board, PAWN_AXIS_W, AXIS_W, out);
}

void encode_pawn_fiber_y(const Board4D& board, ChannelSlice<1> out) {
  encode_pawn_fiber(board, PAWN_AXIS_Y, AXIS_Y, out);
}

}  // namespace q4d
