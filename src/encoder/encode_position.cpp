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

// Where the stages' values go: straight into a float32 output, or into the
// workspace, stage by stage, and from there through the final stores.
struct StageOutput {
  Isa isa;
  unsigned char* out;  // the encoding's first byte
  EncodingFormat format;
  float* staged;  // null: the stages write into `out`

  template <int N_CHANNEL>
  ChannelSlice<N_CHANNEL> slice(int first) const {
    return staged != nullptr ? channel_slice<N_CHANNEL>(staged, 0)
                             : channel_slice<N_CHANNEL>(reinterpret_cast<float*>(out), first);
  }

  // The stage that wrote channels first .. first + N_CHANNEL - 1 is done.
  template <int N_CHANNEL>
  void done(int first) const {
    if (staged == nullptr) return;
    const std::size_t size = format.dtype == DTYPE_BFLOAT16 ? 2 : 4;
    store_values(isa, staged, static_cast<std::size_t>(N_CHANNEL) * CHANNEL_SIZE, out + channel_offset(first) * size,
                 format);
  }
};

// The stages in their fixed order, into the encoding at `out`.
void encode_into(Isa isa, const Board4D& board, unsigned char* out, EncodingFormat format, EncoderWorkspace& workspace) {
  EncoderScratch& scratch = scratch_of(workspace);
  const StageOutput to{isa, out, format, needs_final_stores(format) ? scratch.staged : nullptr};
  const int n_occupied = list_occupied_squares(isa, board.pieces, scratch.occupied);
  const std::span<const std::int16_t> occupied(scratch.occupied, static_cast<std::size_t>(n_occupied));
  build_value_field(board.pieces, occupied, scratch.field);
  const StageBoard in{board, occupied, scratch.field};
  // Every stage writes all of its slice, so the output needs no clearing.

  encode_orbit_mean(isa, in, to.slice<1>(CH_A1));
  to.done<1>(CH_A1);
  encode_coord_residuals(in, to.slice<4>(CH_STD4_X));
  to.done<4>(CH_STD4_X);
  encode_cross_piece_fiber(isa, in, to.slice<3>(CH_FIB_SYM_1), scratch.fiber);
  to.done<3>(CH_FIB_SYM_1);
  encode_pawn_fibers(isa, in, to.slice<2>(CH_FA_PAWN_W), scratch.pawn);
  to.done<2>(CH_FA_PAWN_W);
  encode_diagonal_deviation(isa, in, to.slice<1>(CH_FD_DIAG), scratch.diagonal_terms);
  to.done<1>(CH_FD_DIAG);
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
