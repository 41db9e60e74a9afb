// Channel 0: the part of the value field that every board symmetry keeps.
#include "encoder/multiversion.h"
#include "encoder/occupied_squares.h"
#include "encoder/stages.h"
#include "encoder/tables/orbits.h"

namespace q4d {
namespace {

Q4D_MULTIVERSION void fill_orbit_means(const float* mean, float* out) {
  for (int s = 0; s < N_SQUARES; ++s) out[s] = mean[orbit_tables.square_orbit[s]];
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
