// Channels 1-4: the value field weighted by each square's offset from the
// board's main diagonal, one channel per axis.
#include "encoder/multiversion.h"
#include "encoder/stages.h"
#include "encoder/tables/coord_residuals.h"

namespace q4d {

Q4D_MULTIVERSION void encode_coord_residuals(const ValueField& field, ChannelSlice<4> out) {
  float* const channel[4] = {out.data(), out.data() + CHANNEL_SIZE, out.data() + 2 * CHANNEL_SIZE,
                             out.data() + 3 * CHANNEL_SIZE};
  // One exact product per element. Signed zeros are part of the output: an
  // empty square where the residual is negative stores -0.0.
  for (int line = 0; line < N_SQUARES; line += 8) {  // eight squares differing in w only
    const int x = square_coord(line, 0);
    const int y = square_coord(line, 1);
    const int z = square_coord(line, 2);
    for (int w = 0; w < 8; ++w) {
      const int sum = x + y + z + w;
      const double value = field[line + w];
      channel[0][line + w] = static_cast<float>(coord_residual(x, sum) * value);
      channel[1][line + w] = static_cast<float>(coord_residual(y, sum) * value);
      channel[2][line + w] = static_cast<float>(coord_residual(z, sum) * value);
      channel[3][line + w] = static_cast<float>(coord_residual(w, sum) * value);
    }
  }
}

}  // namespace q4d
