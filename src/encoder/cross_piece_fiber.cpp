// Channels 5-7: every knight, bishop, queen and king sums the value field over
// the squares it reaches on the empty board (its reach sum), weights that sum
// three ways, and adds each product to every square it reaches.
#include <cstring>

#include "encoder/multiversion.h"
#include "encoder/occupied_squares.h"
#include "encoder/stages.h"
#include "encoder/tables/fiber_weights.h"
#include "encoder/tables/move_tables.h"
#include "encoder/tables/orbits.h"

namespace q4d {
namespace {

// Component c of target t, acc[t][c], goes to out[4096c + t].
Q4D_MULTIVERSION void round_fiber_sums(const FiberSums* acc, float* out) {
  for (int t = 0; t < N_SQUARES; ++t) {
    for (int c = 0; c < N_FIBER_COMPONENTS; ++c) out[c * CHANNEL_SIZE + t] = static_cast<float>(acc[t][c]);
  }
}

// The sum of the value field over the targets. Values are multiples of 0.25
// no larger than 12, so every partial sum of a reach set is exact: four
// interleaved sums give the bits of one sum taken in target order.
double reach_sum_of(const ValueField& field, const std::int16_t* targets, int n_targets) {
  double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
  int i = 0;
  for (; i + 4 <= n_targets; i += 4) {
    a = a + field[targets[i]];
    b = b + field[targets[i + 1]];
    c = c + field[targets[i + 2]];
    d = d + field[targets[i + 3]];
  }
  for (; i < n_targets; ++i) a = a + field[targets[i]];
  return (a + b) + (c + d);
}

// Adds `product` to the sums of every target, in the order given.
Q4D_MULTIVERSION void spread_over_targets(FiberSums* acc, const std::int16_t* targets, int n_targets,
                                          const FiberSums& product) {
  for (int i = 0; i < n_targets; ++i) acc[targets[i]] = product + acc[targets[i]];
}

}  // namespace

void encode_cross_piece_fiber(const PieceLetters& pieces, const ValueField& field, ChannelSlice<3> out,
                              FiberSums* acc) {
  // The three components are independent sums; they share the reach sums and
  // run in one sweep, each element still receiving its products in ascending
  // order of the pieces' squares. No fused operation anywhere.
  std::memset(acc, 0, N_SQUARES * sizeof(FiberSums));
  for_each_occupied(pieces, [&](int s) {
    const int fiber_kind = fiber_kind_of(pieces[s]);
    if (fiber_kind < 0) return;

    std::int16_t targets[MAX_MOVE_OFFSETS];
    int n_targets = 0;
    for_each_move_target(piece_type_of(pieces[s]), s,
                         [&](int t) { targets[n_targets++] = static_cast<std::int16_t>(t); });
    const double reach_sum = reach_sum_of(field, targets, n_targets);

    // The float32 weight widened to double (the decimal read as a double
    // would give other bits).
    const float* weight = fiber_weights[orbit_tables.square_orbit[s]][fiber_kind];
    const FiberSums product = {reach_sum * static_cast<double>(weight[0]), reach_sum * static_cast<double>(weight[1]),
                               reach_sum * static_cast<double>(weight[2]), 0.0};
    spread_over_targets(acc, targets, n_targets, product);
  });
  round_fiber_sums(acc, out.data());
}

}  // namespace q4d
