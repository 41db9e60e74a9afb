#include "encoder/encoding.h"
#include "encoder/value_field.h"

namespace q4d {

void encode_position(const Board4D& board, EncodingVector& out) {
  ValueField field;
  build_value_field(board.pieces, field);
  out.fill(+0.0f);
}

}  // namespace q4d
