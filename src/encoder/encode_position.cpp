#include "encoder/encoding.h"

#include <mutex>

#include "encoder/isa.h"
#include "encoder/occupied_squares.h"
#include "encoder/scratch.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace q4d {
namespace {

// The stages in their fixed order, into the ENCODING_DIM floats at `out`.
void encode_into(Isa isa, const Board4D& board, float* out, EncoderWorkspace& workspace) {
  EncoderScratch& scratch = scratch_of(workspace);
  const int n_occupied = list_occupied_squares(isa, board.pieces, scratch.occupied);
  const std::span<const std::int16_t> occupied(scratch.occupied, static_cast<std::size_t>(n_occupied));
  build_value_field(board.pieces, occupied, scratch.field);
  const StageBoard in{board, occupied, scratch.field};
  // Every stage writes all of its slice, so the output needs no clearing.

  encode_orbit_mean(isa, in, channel_slice<1>(out, CH_A1));
  encode_coord_residuals(in, channel_slice<4>(out, CH_STD4_X));
  encode_cross_piece_fiber(isa, in, channel_slice<3>(out, CH_FIB_SYM_1), scratch.fiber);
  encode_pawn_fibers(isa, in, channel_slice<2>(out, CH_FA_PAWN_W), scratch.pawn);
  encode_diagonal_deviation(isa, in, channel_slice<1>(out, CH_FD_DIAG), scratch.diagonal_terms);
}

}  // namespace

void encode_position(const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace) {
  encode_into(machine_isa(), board, out.data(), workspace);
}

void encode_position(const Board4D& board, EncodingVector& out) {
  // One workspace in static storage, which costs nothing until first used
  // (per-thread storage would be cleared at the start of every process and
  // thread); calls from several threads take turns.
  static EncoderWorkspace workspace;
  static std::mutex turn;
  std::lock_guard lock(turn);
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
