// Channels 5-7: every knight, bishop, queen and king sums the value field over
// the squares it reaches on the empty board (its reach sum), weights that sum
// three ways, and adds each product to every square it reaches.
#include "encoder/stages.h"
#include "encoder/tables/fiber_weights.h"
#include "encoder/tables/move_tables.h"
#include "encoder/tables/orbits.h"

namespace q4d {

void encode_cross_piece_fiber(const PieceLetters& pieces, const ValueField& field, ChannelSlice<3> out) {
  // The three components are independent sums; they share the reach sums and
  // run in one sweep, each element still receiving its products in ascending
  // order of the pieces' squares. No fused operation anywhere.
  double acc[N_SQUARES][N_FIBER_COMPONENTS] = {};
  for (int s = 0; s < N_SQUARES; ++s) {
    const int fiber_kind = fiber_kind_of(pieces[s]);
    if (fiber_kind < 0) continue;
    const int kind = piece_type_of(pieces[s]);

    double reach_sum = 0.0;
    for_each_move_target(kind, s, [&](int t) { reach_sum = reach_sum + field[t]; });

    const float* weight = fiber_weights[orbit_tables.square_orbit[s]][fiber_kind];
    double product[N_FIBER_COMPONENTS];
    for (int c = 0; c < N_FIBER_COMPONENTS; ++c) product[c] = reach_sum * static_cast<double>(weight[c]);
    for_each_move_target(kind, s, [&](int t) {
      for (int c = 0; c < N_FIBER_COMPONENTS; ++c) acc[t][c] = product[c] + acc[t][c];
    });
  }
  for (int c = 0; c < N_FIBER_COMPONENTS; ++c) {
    float* channel = out.data() + c * CHANNEL_SIZE;
    for (int t = 0; t < N_SQUARES; ++t) channel[t] = static_cast<float>(acc[t][c]);
  }
}

}  // namespace q4d
