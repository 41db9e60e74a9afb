#include "encoder/round_to_float.h"

#include "encoder/multiversion.h"

namespace q4d {

Q4D_MULTIVERSION void round_to_float(const double* in, float* out, int n) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]);
}

}  // namespace q4d
