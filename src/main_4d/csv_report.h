// The per-ply CSV report: channel energies and the change from the previous
// frame, and the number format of its cells.
//
// Sums run in double precision, in index order. Energies and the whole-vector
// sums of the change accumulate with fused multiply-adds; the channel-0
// distance dA1 rounds each product before adding it.
#pragma once

#include <cstddef>

#include "encoder/encoding.h"
#include "frames/container.h"

namespace q4d {

inline constexpr char CSV_HEADER_LINE[] =
    "ply,from_x,from_y,from_z,from_w,to_x,to_y,to_z,to_w,dist_prev,cos_prev,dA1,E_A1,E_STD4_X,E_STD4_Y,"
    "E_STD4_Z,E_STD4_W,E_FIB_SYM_1,E_FIB_SYM_2,E_FIB_SYM_3,E_FA_PAWN_W,E_FA_PAWN_Y,E_FD_DIAG,E_total\n";

// Room for the longest row: 9 integers and 15 numbers, the largest of which
// (a sum of squared floats printed with %.0f) has under 90 characters.
inline constexpr std::size_t CSV_ROW_MAX = 2048;

struct ChannelEnergies {
  double channel[N_CHANNELS];  // sum of v*v over the channel's 4096 elements
  double total;                // the eleven energies added left to right
};

struct FrameChange {
  double dist_prev;  // Euclidean distance between the vectors
  double cos_prev;   // cosine of their angle, 0 when either is all zeros
  double d_a1;       // distance restricted to channel 0
};

void channel_energies(const EncodingVector& v, ChannelEnergies* out);

void frame_change(const EncodingVector& current, const EncodingVector& previous, FrameChange* out);

// Writes x as a report cell: "0" below 1e-6 in magnitude, then "%.0f" from
// 100, "%.2f" from 1, "%.3f" from 0.01, and "%.2e" for the rest and for NaN.
// Returns the length, as snprintf does.
int format_csv_number(double x, char* buf, std::size_t size);

// Writes the row of `frame`, with newline; `previous` is null for the first
// frame, whose change columns are zero. Returns the length, or -1 for an
// absent argument and -2 when the row does not fit.
int format_csv_row(const FrameRecord& frame, const EncodingVector* previous, char* buf, std::size_t size);

}  // namespace q4d
