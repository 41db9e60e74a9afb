#include "encoder/encoding.h"
#include "encoder/isa.h"
#include "encoder/scratch.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace q4d {
namespace {

// The stages in their fixed order, into the ENCODING_DIM floats at `out`.
void encode_into(Isa isa, const Board4D& board, float* out, EncoderWorkspace& workspace) {
  EncoderScratch& scratch = scratch_of(workspace);
  ValueField& field = scratch.field;
  build_value_field(board.pieces, field);
  // Every stage writes all of its slice, so the output needs no clearing.

  encode_orbit_mean(board.pieces, field, channel_slice<1>(out, CH_A1));
  encode_coord_residuals(board.pieces, field, channel_slice<4>(out, CH_STD4_X));
  encode_cross_piece_fiber(isa, board.pieces, field, channel_slice<3>(out, CH_FIB_SYM_1), scratch.fiber);
  encode_pawn_fiber_w(isa, board, channel_slice<1>(out, CH_FA_PAWN_W), scratch.pawn_sums);
  encode_pawn_fiber_y(isa, board, channel_slice<1>(out, CH_FA_PAWN_Y), scratch.pawn_sums);
  encode_diagonal_deviation(isa, board, field, channel_slice<1>(out, CH_FD_DIAG), scratch.diagonal_terms);
}

}  // namespace

void encode_position(const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace) {
  encode_into(machine_isa(), board, out.data(), workspace);
}

void encode_position(const Board4D& board, EncodingVector& out) {
  // Zero-initialised thread storage: no constructor, no allocation per call.
  static thread_local EncoderWorkspace workspace;
  encode_into(machine_isa(), board, out.data(), workspace);
}

int encode_positions(const Board4D* boards, std::size_t n, float* out, EncoderWorkspace* workspace) {
  if (n == 0) return 0;
  if (boards == nullptr || out == nullptr || workspace == nullptr) return -1;
  const Isa isa = machine_isa();
  for (std::size_t k = 0; k < n; ++k) encode_into(isa, boards[k], out + k * ENCODING_DIM, *workspace);
  return 0;
}

void encode_position_in(Isa isa, const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace) {
  encode_into(isa, board, out.data(), workspace);
}

}  // namespace q4d
