// Channels 1-4: the value field weighted by each square's offset from the
// board's main diagonal, one channel per axis.
#include <array>
#include <cstring>

#include "encoder/stages.h"
#include "encoder/tables/coord_residuals.h"

namespace q4d {
namespace {

constexpr int N_AXES = 4;

// One exact product per element. Signed zeros are part of the output: an
// empty square where the residual is negative stores -0.0.
constexpr float residual_element(int axis, int s, double value) {
  return static_cast<float>(coord_residual_at(axis, s) * value);
}

// The four channels of the empty board, evaluated by the compiler: what every
// square holds until a piece stands on it.
constexpr std::array<float, N_AXES * CHANNEL_SIZE> EMPTY_BOARD_RESIDUALS = [] {
  std::array<float, N_AXES * CHANNEL_SIZE> c{};
  for (int axis = 0; axis < N_AXES; ++axis) {
    for (int s = 0; s < N_SQUARES; ++s) c[axis * CHANNEL_SIZE + s] = residual_element(axis, s, +0.0);
  }
  return c;
}();

}  // namespace

void encode_coord_residuals(const StageBoard& in, ChannelSlice<4> out) {
  std::memcpy(out.data(), EMPTY_BOARD_RESIDUALS.data(), out.size_bytes());
  for (const int s : in.occupied) {
    for (int axis = 0; axis < N_AXES; ++axis) out[axis * CHANNEL_SIZE + s] = residual_element(axis, s, in.field[s]);
  }
}

}  // namespace q4d
