// The one rounding of each encoder output element from double to float32.
#pragma once

namespace q4d {

// out[i] = (float) in[i], round to nearest, ties to even.
void round_to_float(const double* in, float* out, int n);

}  // namespace q4d
