// Channels 5-7: every knight, bishop, queen and king sums the value field over
// the squares it reaches on the empty board (its reach sum), weights that sum
// three ways, and adds each product to every square it reaches.
#include "encoder/occupied_squares.h"
#include "encoder/multiversion.h"
#include "encoder/stages.h"
#include "encoder/tables/fiber_weights.h"
#include "encoder/tables/move_tables.h"
#include "encoder/tables/orbits.h"

namespace q4d {
namespace {

// Component c of target t, acc[3t + c], goes to out[4096c + t].
Q4D_MULTIVERSION void round_interleaved_to_float(const double* acc, float* out) {
  for (int t = 0; t < N_SQUARES; ++t) {
    for (int c = 0; c < N_FIBER_COMPONENTS; ++c) out[c * CHANNEL_SIZE + t] = static_cast<float>(acc[3 * t + c]);
  }
}

}  // namespace

void encode_cross_piece_fiber(const PieceLetters& pieces, const ValueField& field, ChannelSlice<3> out) {
  // The three components are independent sums; they share the reach sums and
  // run in one sweep, each element still receiving its products in ascending
  // order of the pieces' squares. No fused operation anywhere.
  double acc[N_SQUARES][N_FIBER_COMPONENTS] = {};  // a target's three sums share a cache line
  for_each_occupied(pieces, [&](int s) {
    const int fiber_kind = fiber_kind_of(pieces[s]);
    if (fiber_kind < 0) return;
    const int kind = piece_type_of(pieces[s]);

    double reach_sum = 0.0;
    for_each_move_target(kind, s, [&](int t) { reach_sum = reach_sum + field[t]; });

    // The float32 weight widened to double (the decimal read as a double
    // would give other bits).
    const float* weight = fiber_weights[orbit_tables.square_orbit[s]][fiber_kind];
    double product[N_FIBER_COMPONENTS];
    for (int c = 0; c < N_FIBER_COMPONENTS; ++c) product[c] = reach_sum * static_cast<double>(weight[c]);
    for_each_move_target(kind, s, [&](int t) {
      for (int c = 0; c < N_FIBER_COMPONENTS; ++c) acc[t][c] = product[c] + acc[t][c];
    });
  });
  round_interleaved_to_float(&acc[0][0], out.data());
}

}  // namespace q4d
