// The encoder's final stores into a batch output: the encoding the stages
// left in the workspace, written as float32 or bfloat16, through the caches
// or around them (EncodingFormat). Only the float32 output with ordinary
// stores skips them: there the stages write the output directly.
//
// Channel 10 is computed last, block of squares by block of squares, and a
// block's squares of every channel go out as soon as it is done: the stores
// of the whole encoding spread over channel 10's arithmetic, which leaves
// memory idle, instead of stalling the processor in one burst at the end.
#pragma once

#include <cstddef>

#include "encoder/encoding.h"
#include "encoder/isa.h"

namespace q4d {

// True when the stages must leave their values in the workspace for
// store_squares rather than write them into the output.
constexpr bool needs_final_stores(EncodingFormat format) {
  return format.dtype != DTYPE_FLOAT32 || format.streaming;
}

enum StoreKind {
  STORE_PLAIN,     // ordinary stores, any alignment
  STORE_STREAM16,  // non-temporal, 16 bytes at a time (the output is 16-byte aligned)
  STORE_STREAM32,  // non-temporal, 32 bytes at a time (32-byte aligned)
};

// One encoding on its way from the workspace to the output.
struct FinalStores {
  const float* values;  // ENCODING_DIM float32 values
  unsigned char* out;   // the encoding's first byte in the output
  EncodingDtype dtype;
  StoreKind kind;
};

// The stores for `format` into `out`: streamed where the format asks for it
// and the output's alignment allows it.
FinalStores final_stores(const float* values, unsigned char* out, EncodingFormat format);

// Writes squares first .. first + count - 1 of every channel; count is a
// multiple of 16. Non-temporal stores are weakly ordered: call finish_stores
// before anyone else reads the output.
void store_squares(Isa isa, const FinalStores& stores, int first, int count);

// Makes this thread's non-temporal stores so far visible to every other
// thread (and device) before the stores that follow.
void finish_stores(Isa isa, EncodingFormat format);

}  // namespace q4d
