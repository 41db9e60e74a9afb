// Fuzz target: encode_position on arbitrary boards, any letter and axis bytes.
//
// The input is the board's 8192 bytes (letters, then pawn axes); a shorter
// input is padded with empty squares. Besides the sanitizers' checks:
//   - every element is finite;
//   - bytes that are no piece letter, and the axis bytes of squares that hold
//     no pawn, change nothing: the board with them cleared gives the same bits;
//   - every build of the encoder this machine runs (encoder/isa.h) gives the
//     bits of the dispatched one.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "encoder/encoding.h"
#include "encoder/isa.h"
#include "encoder/stages.h"
#include "encoder/value_field.h"

namespace {

using q4d::Board4D;

Board4D cleared_of_noise(const Board4D& board) {
  Board4D clean = board;
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const int kind = q4d::piece_type_of(board.pieces[s]);
    if (kind < 0) clean.pieces[s] = 0;
    if (kind != q4d::PAWN) clean.pawn_axis[s] = 0;
  }
  return clean;
}

// Every build of the encoder this machine runs gives the dispatched build's bits.
void check_builds(const Board4D& board, const q4d::EncodingVector& encoded) {
  static q4d::EncoderWorkspace workspace;
  static q4d::EncodingVector other;
  for (q4d::Isa isa : q4d::runnable_isas()) {
    q4d::encode_position_in(isa, board, other, workspace);
    if (std::memcmp(other.data(), encoded.data(), sizeof other) != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Board4D board;
  static q4d::EncodingVector encoded, clean_encoded;  // 176 KiB each
  std::memset(&board, 0, sizeof board);
  std::memcpy(&board, data, size < sizeof board ? size : sizeof board);

  q4d::encode_position(board, encoded);
  for (float v : encoded) {
    if (!std::isfinite(v)) std::abort();
  }
  q4d::encode_position(cleared_of_noise(board), clean_encoded);
  if (std::memcmp(encoded.data(), clean_encoded.data(), sizeof encoded) != 0) std::abort();
  check_builds(board, encoded);
  return 0;
}
