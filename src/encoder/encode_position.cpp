#include "encoder/encoding.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace q4d {

void encode_position(const Board4D& board, EncodingVector& out) {
  ValueField field;
  build_value_field(board.pieces, field);
  // Every stage writes all of its slice, so the output needs no clearing.

  encode_orbit_mean(board.pieces, field, channel_slice<1>(out, CH_A1));
  encode_coord_residuals(board.pieces, field, channel_slice<4>(out, CH_STD4_X));
  encode_cross_piece_fiber(board.pieces, field, channel_slice<3>(out, CH_FIB_SYM_1));
  encode_pawn_fiber_w(board, channel_slice<1>(out, CH_FA_PAWN_W));
  encode_pawn_fiber_y(board, channel_slice<1>(out, CH_FA_PAWN_Y));
  encode_diagonal_deviation(board, field, channel_slice<1>(out, CH_FD_DIAG));
}

}  // namespace q4d
