#include "main_4d/csv_report.h"

#include <cmath>
#include <cstdio>

#include "encoder/isa.h"

namespace q4d {

namespace {

// Both sums are built for each instruction set (run_for_isa), so that std::fma
// is one instruction wherever the processor has it.

// The eleven channels' sums are independent: taking them side by side, one
// element of each channel per step, keeps eleven fused operations in flight
// while each channel still adds its elements in index order.
void sum_channel_energies(const EncodingVector* vector, ChannelEnergies* out) {
  const EncodingVector& v = *vector;
  double energy[N_CHANNELS] = {};
  for (std::size_t i = 0; i < CHANNEL_SIZE; ++i) {
    for (int c = 0; c < N_CHANNELS; ++c) {
      const double x = v[channel_offset(c) + i];
      energy[c] = std::fma(x, x, energy[c]);
    }
  }
  out->total = 0.0;
  for (int c = 0; c < N_CHANNELS; ++c) {
    out->channel[c] = energy[c];
    out->total += energy[c];
  }
}

// Four sums over the whole vector and the channel-0 distance, side by side in
// one pass; each is a chain of dependent operations in index order.
void sum_frame_change(const EncodingVector* current_vector, const EncodingVector* previous_vector, FrameChange* out) {
  const EncodingVector& current = *current_vector;
  const EncodingVector& previous = *previous_vector;
  double s_dd = 0.0, s_vp = 0.0, s_vv = 0.0, s_pp = 0.0, s_a1 = 0.0;
  for (std::size_t i = 0; i < current.size(); ++i) {
    const double v = current[i], p = previous[i];
    const double d = v - p;
    s_dd = std::fma(d, d, s_dd);
    s_vp = std::fma(v, p, s_vp);
    s_vv = std::fma(v, v, s_vv);
    s_pp = std::fma(p, p, s_pp);
    if (i < CHANNEL_SIZE) {
      const double square = d * d;  // rounded before the addition, unlike the sums above
      s_a1 += square;
    }
  }
  const double norms = std::sqrt(s_vv) * std::sqrt(s_pp);
  out->dist_prev = std::sqrt(s_dd);
  out->cos_prev = norms > 0.0 ? s_vp / norms : 0.0;
  out->d_a1 = std::sqrt(s_a1);
}

}  // namespace

void channel_energies(const EncodingVector& v, ChannelEnergies* out) {
  run_for_isa<sum_channel_energies>(machine_isa(), &v, out);
}

void frame_change(const EncodingVector& current, const EncodingVector& previous, FrameChange* out) {
  run_for_isa<sum_frame_change>(machine_isa(), &current, &previous, out);
}

int format_csv_number(double x, char* buf, std::size_t size) {
  const double a = std::fabs(x);
  // Tested in this order, so NaN fails every comparison and ends in "%.2e".
  if (a < 1e-6) return std::snprintf(buf, size, "0");
  if (a >= 100.0) return std::snprintf(buf, size, "%.0f", x);
  if (a >= 1.0) return std::snprintf(buf, size, "%.2f", x);
  if (a >= 0.01) return std::snprintf(buf, size, "%.3f", x);
  return std::snprintf(buf, size, "%.2e", x);
}

int format_csv_row(const FrameRecord& frame, const EncodingVector* previous, char* buf, std::size_t size) {
  if (buf == nullptr || size == 0) return -1;
  FrameChange change{0.0, 0.0, 0.0};
  if (previous != nullptr) frame_change(frame.vector, *previous, &change);
  ChannelEnergies energies;
  channel_energies(frame.vector, &energies);

  const PlyTrailer& t = frame.trailer;
  std::size_t used = 0;
  // Appends one formatted piece; false once the row no longer fits.
  auto append = [&](int n) {
    if (n < 0 || static_cast<std::size_t>(n) >= size - used) return false;
    used += static_cast<std::size_t>(n);
    return true;
  };
  bool ok = append(std::snprintf(buf, size, "%u,%u,%u,%u,%u,%u,%u,%u,%u,", static_cast<unsigned>(t.ply),
                                 static_cast<unsigned>(t.move_from[0]), static_cast<unsigned>(t.move_from[1]),
                                 static_cast<unsigned>(t.move_from[2]), static_cast<unsigned>(t.move_from[3]),
                                 static_cast<unsigned>(t.move_to[0]), static_cast<unsigned>(t.move_to[1]),
                                 static_cast<unsigned>(t.move_to[2]), static_cast<unsigned>(t.move_to[3])));
  ok = ok && append(format_csv_number(change.dist_prev, buf + used, size - used));
  ok = ok && append(std::snprintf(buf + used, size - used, ",%.4f,", change.cos_prev));
  ok = ok && append(format_csv_number(change.d_a1, buf + used, size - used));
  for (int c = 0; c <= N_CHANNELS && ok; ++c) {
    const double value = c < N_CHANNELS ? energies.channel[c] : energies.total;
    ok = append(std::snprintf(buf + used, size - used, ",")) &&
         append(format_csv_number(value, buf + used, size - used));
  }
  ok = ok && append(std::snprintf(buf + used, size - used, "\n"));
  return ok ? static_cast<int>(used) : -2;
}

}  // namespace q4d
