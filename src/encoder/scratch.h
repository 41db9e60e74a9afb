// The scratch space of one encoding, laid out in a caller's EncoderWorkspace:
// one part per stage that needs room beyond its slice of the output.
#pragma once

#include <new>

#include "encoder/encoding.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace q4d {

struct EncoderScratch {
  ValueField field;
  FiberScratch fiber;                      // channels 5-7
  DiagonalTerm diagonal_terms[N_SQUARES];  // channel 10
  double pawn_sums[N_SQUARES];             // channels 8 and 9, one after the other
};
static_assert(sizeof(EncoderScratch) <= ENCODER_WORKSPACE_SIZE);
static_assert(alignof(EncoderScratch) <= alignof(EncoderWorkspace));

// Every member is trivial: starting the scratch's lifetime writes nothing.
inline EncoderScratch& scratch_of(EncoderWorkspace& workspace) {
  return *::new (static_cast<void*>(workspace.bytes)) EncoderScratch;
}

}  // namespace q4d
