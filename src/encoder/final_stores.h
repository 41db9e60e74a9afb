// The encoder's final stores into a batch output: values the stages left in
// the workspace, written as float32 or bfloat16, through the caches or around
// them (EncodingFormat). Only the float32 output with ordinary stores skips
// them: there the stages write the output directly.
#pragma once

#include <cstddef>

#include "encoder/encoding.h"
#include "encoder/isa.h"

namespace q4d {

// True when the stages must leave their values in the workspace for
// store_values rather than write them into the output.
constexpr bool needs_final_stores(EncodingFormat format) {
  return format.dtype != DTYPE_FLOAT32 || format.streaming;
}

// Writes values[0 .. n) as `format` says to `out`, the output's bytes of
// element 0 (any alignment). Non-temporal stores are weakly ordered: call
// finish_stores before anyone else reads the output.
void store_values(Isa isa, const float* values, std::size_t n, unsigned char* out, EncodingFormat format);

// Makes the non-temporal stores made so far by this thread visible to
// every other thread (and device) before the stores that follow.
void finish_stores(Isa isa, EncodingFormat format);

}  // namespace q4d
