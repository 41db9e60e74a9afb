// Channel 0: the part of the value field that every board symmetry keeps.
#include <cstring>

#include "encoder/occupied_squares.h"
#include "encoder/stages.h"
#include "encoder/tables/orbits.h"

namespace q4d {
namespace {

// Mirroring a coordinate keeps a square's orbit, so only the lines of eight
// squares (along w) with x, y and z in 0..3 are looked up; every other line
// copies the line it mirrors, which comes earlier in square order.
void fill_orbit_means(const float* mean, float* out) {
  for (int line = 0; line < N_SQUARES; line += BOARD_SIDE) {
    const int x = square_coord(line, 0), y = square_coord(line, 1), z = square_coord(line, 2);
    const int mirror = square_index(fold_coord(x), fold_coord(y), fold_coord(z), 0);
    if (mirror == line) {
      for (int w = 0; w < BOARD_SIDE; ++w) out[line + w] = mean[orbit_tables.square_orbit[line + w]];
    } else {
      std::memcpy(out + line, out + mirror, BOARD_SIDE * sizeof(float));
    }
  }
}

}  // namespace

void encode_orbit_mean(const PieceLetters& pieces, const ValueField& field, ChannelSlice<1> out) {
  const OrbitTables& t = orbit_tables;
  // Values are multiples of 0.25 no larger than 12, so every partial sum of
  // an orbit is exact: neither the order of the additions nor leaving out
  // the empty squares' +0.0 can change a bit.
  double sum[N_ORBITS] = {};
  for_each_occupied(pieces, [&](int s) { sum[t.square_orbit[s]] += field[s]; });
  // Only the multiplication by the stored reciprocal rounds (dividing by
  // the size would not give the same bits).
  float mean[N_ORBITS];
  for (int i = 0; i < N_ORBITS; ++i) mean[i] = static_cast<float>(sum[i] * t.orbit_weights[i]);
  fill_orbit_means(mean, out.data());
}

}  // namespace q4d
