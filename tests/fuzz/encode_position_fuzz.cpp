// Fuzz target: encode_position on arbitrary boards, any letter and axis bytes.
//
// The input is the board's 8192 bytes (letters, then pawn axes); a shorter
// input is padded with empty squares. Besides the sanitizers' checks:
//   - every element is finite;
//   - bytes that are no piece letter, and the axis bytes of squares that hold
//     no pawn, change nothing: the board with them cleared gives the same bits;
//   - every channel-10 kernel this machine can run gives the bits that the
//     dispatched kernel stored.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "encoder/diagonal_deviation_kernels.h"
#include "encoder/encoding.h"
#include "encoder/tables/diagonal_deviation_table.h"
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

void check_kernels(const Board4D& board, const q4d::EncodingVector& encoded) {
  static q4d::ValueField field;
  static q4d::DiagonalTerm terms[q4d::N_SQUARES];
  static float out[q4d::CHANNEL_SIZE];
  q4d::build_value_field(board.pieces, field);
  int n_terms = 0;
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const int kind = q4d::piece_type_of(board.pieces[s]);
    if (kind >= 0) terms[n_terms++] = {q4d::diagonal_deviation_table()[kind].data(), field[s]};
  }
  const float* stored = encoded.data() + q4d::channel_offset(q4d::CH_FD_DIAG);
  for (const auto& kernel : q4d::available_diagonal_kernels()) {
    kernel.run(terms, n_terms, out);
    if (std::memcmp(out, stored, sizeof out) != 0) std::abort();
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
  check_kernels(board, encoded);
  return 0;
}
