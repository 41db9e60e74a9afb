// Channel 0: the part of the value field that every board symmetry keeps.
#include "encoder/multiversion.h"
#include "encoder/stages.h"
#include "encoder/tables/orbits.h"

namespace q4d {

Q4D_MULTIVERSION void encode_orbit_mean(const ValueField& field, ChannelSlice<1> out) {
  const OrbitTables& t = orbit_tables;
  // Values are multiples of 0.25 no larger than 12, so every partial sum of
  // an orbit is exact and the order of the additions cannot change a bit.
  // Eight partial sums per orbit, one per w, keep successive additions
  // independent of each other.
  double partial[8][N_ORBITS] = {};
  for (int s = 0; s < N_SQUARES; ++s) {
    double& sum = partial[s % 8][t.square_orbit[s]];
    sum = sum + field[s];
  }
  // Only the multiplication by the stored reciprocal rounds (dividing by
  // the size would not give the same bits).
  float mean[N_ORBITS];
  for (int i = 0; i < N_ORBITS; ++i) {
    double sum = +0.0;
    for (int w = 0; w < 8; ++w) sum = sum + partial[w][i];
    mean[i] = static_cast<float>(sum * t.orbit_weights[i]);
  }
  for (int s = 0; s < N_SQUARES; ++s) out[s] = mean[t.square_orbit[s]];
}

}  // namespace q4d
