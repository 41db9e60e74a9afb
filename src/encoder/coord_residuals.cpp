// Channels 1-4: the value field weighted by each square's offset from the
// board's main diagonal, one channel per axis.
#include "encoder/stages.h"
#include "encoder/tables/coord_residuals.h"

namespace q4d {

void encode_coord_residuals(const ValueField& field, ChannelSlice<4> out) {
  // One exact product per element. Signed zeros are part of the output: an
  // empty square where the residual is negative stores -0.0.
  for (int axis = 0; axis < 4; ++axis) {
    float* channel = out.data() + axis * CHANNEL_SIZE;
    for (int s = 0; s < N_SQUARES; ++s) channel[s] = static_cast<float>(coord_residual(axis, s) * field[s]);
  }
}

}  // namespace q4d
