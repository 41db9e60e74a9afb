// Channel 0: the part of the value field that every board symmetry keeps.
#include "encoder/stages.h"
#include "encoder/tables/orbits.h"

namespace q4d {

void encode_orbit_mean(const ValueField& field, ChannelSlice<1> out) {
  const OrbitTables& t = orbit_tables;
  for (int orbit = 0; orbit < N_ORBITS; ++orbit) {
    const int begin = t.orbit_offsets[orbit];
    const int end = t.orbit_offsets[orbit + 1];
    // Values are multiples of 0.25, so the sum is exact; only the
    // multiplication by the stored reciprocal rounds (a division would not
    // give the same bits).
    double sum = +0.0;
    for (int i = begin; i < end; ++i) sum = sum + field[t.orbit_members[i]];
    const float mean = static_cast<float>(sum * t.orbit_weights[orbit]);
    for (int i = begin; i < end; ++i) out[t.orbit_members[i]] = mean;
  }
}

}  // namespace q4d
