#include "encoder/encoding.h"

#include <mutex>

#include "encoder/final_stores.h"
#include "encoder/isa.h"
#include "encoder/occupied_squares.h"
#include "encoder/scratch.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace q4d {
namespace {

// The stages in their fixed order, into the encoding at `out`: directly for
// float32 with ordinary stores, else into the workspace, from where channel
// 10's stage sends the encoding out through the final stores.
void encode_into(Isa isa, const Board4D& board, unsigned char* out, EncodingFormat format, EncoderWorkspace& workspace) {
  EncoderScratch& scratch = scratch_of(workspace);
  const bool staged = needs_final_stores(format);
  float* const values = staged ? scratch.staged : reinterpret_cast<float*>(out);
  const FinalStores stores = final_stores(scratch.staged, out, format);
  const int n_occupied = list_occupied_squares(isa, board.pieces, scratch.occupied);
  const std::span<const std::int16_t> occupied(scratch.occupied, static_cast<std::size_t>(n_occupied));
  build_value_field(board.pieces, occupied, scratch.field);
  const StageBoard in{board, occupied, scratch.field};
  // Every stage writes all of its slice, so the output needs no clearing.

  encode_orbit_mean(isa, in, channel_slice<1>(values, CH_A1));
  encode_coord_residuals(in, channel_slice<4>(values, CH_STD4_X));
  encode_cross_piece_fiber(isa, in, channel_slice<3>(values, CH_FIB_SYM_1), scratch.fiber);
  encode_pawn_fibers(isa, in, channel_slice<2>(values, CH_FA_PAWN_W), scratch.pawn);
  encode_diagonal_deviation(isa, in, channel_slice<1>(values, CH_FD_DIAG), scratch.diagonal_terms,
                            staged ? &stores : nullptr);
}

}  // namespace

void encode_position(const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace) {
  encode_into(machine_isa(), board, reinterpret_cast<unsigned char*>(out.data()), {}, workspace);
}

void encode_position(const Board4D& board, EncodingVector& out) {
  // One workspace in static storage, which costs nothing until first used
  // (per-thread storage would be cleared at the start of every process and
  // thread); calls from several threads take turns.
  static EncoderWorkspace workspace;
  static std::mutex turn;
  std::lock_guard lock(turn);
  encode_into(machine_isa(), board, reinterpret_cast<unsigned char*>(out.data()), {}, workspace);
}

Result encode_positions_in(Isa isa, const Board4D* boards, std::size_t n, void* out, EncoderWorkspace* workspace,
                           EncodingFormat format) {
  if (format.dtype != DTYPE_FLOAT32 && format.dtype != DTYPE_BFLOAT16) return ERR_ARGUMENT;
  if (n == 0) return OK;
  if (boards == nullptr || out == nullptr || workspace == nullptr) return ERR_NULL;
  auto* bytes = static_cast<unsigned char*>(out);
  const std::size_t stride = encoding_bytes(format.dtype);
  for (std::size_t k = 0; k < n; ++k) encode_into(isa, boards[k], bytes + k * stride, format, *workspace);
  finish_stores(isa, format);
  return OK;
}

Result encode_positions(const Board4D* boards, std::size_t n, void* out, EncoderWorkspace* workspace,
                        EncodingFormat format) {
  return encode_positions_in(machine_isa(), boards, n, out, workspace, format);
}

void encode_position_in(Isa isa, const Board4D& board, EncodingVector& out, EncoderWorkspace& workspace) {
  encode_into(isa, board, reinterpret_cast<unsigned char*>(out.data()), {}, workspace);
}

}  // namespace q4d
