// The scratch space of one encoding, laid out in a caller's EncoderWorkspace:
// one part per stage that needs room beyond its slice of the output, and the
// room where a stage leaves its values for the final stores.
#pragma once

#include <new>

#include "encoder/encoding.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace q4d {

struct EncoderScratch {
  ValueField field;                    // read by every stage
  std::int16_t occupied[N_SQUARES];    // read by every stage
  union {                              // each stage's own room, used only while it runs
    FiberScratch fiber;                      // channels 5-7
    PawnScratch pawn;                        // channels 8 and 9
    DiagonalTerm diagonal_terms[N_SQUARES];  // channel 10
  };
  // One stage's channels (four at most) on their way to a bfloat16 or
  // streamed output (final_stores.h).
  alignas(64) float staged[4 * CHANNEL_SIZE];
};
static_assert(sizeof(EncoderScratch) <= ENCODER_WORKSPACE_SIZE);
static_assert(alignof(EncoderScratch) <= alignof(EncoderWorkspace));

// Every member is trivial: starting the scratch's lifetime writes nothing, and
// a stage starts the lifetime of its own part of the union by writing it.
inline EncoderScratch& scratch_of(EncoderWorkspace& workspace) {
  return *::new (static_cast<void*>(workspace.bytes)) EncoderScratch;
}

}  // namespace q4d
