// Fuzz target: parse_fen4 on arbitrary bytes, NUL-terminated.
//
// Besides the sanitizers' checks: the result is one of the documented codes;
// whatever the result, the board holds only piece letters and axis flags that
// the notation can express; and a board that parsed is read back identically
// from the FEN4 text written for it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "position/fen4.h"

namespace {

using q4d::Board4D;

bool is_piece_letter(std::uint8_t c) { return c != 0 && std::strchr("PNBRQKpnbrqk", c) != nullptr; }

// Only pawns carry an axis; any square may be empty.
bool board_is_expressible(const Board4D& board) {
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const std::uint8_t letter = board.pieces[s];
    const std::uint8_t axis = board.pawn_axis[s];
    if (letter != 0 && !is_piece_letter(letter)) return false;
    if (axis > q4d::PAWN_AXIS_Y) return false;
    if (axis == q4d::PAWN_AXIS_Y && letter != 'P' && letter != 'p') return false;
  }
  return true;
}

std::string fen4_of(const Board4D& board) {
  std::string text = "4d-fen v1:";
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const char letter = static_cast<char>(board.pieces[s]);
    if (letter == 0) continue;
    text += ' ';
    text += letter;
    if (letter == 'P' || letter == 'p') text += board.pawn_axis[s] == q4d::PAWN_AXIS_Y ? 'y' : 'w';
    text += '@';
    for (int axis = 0; axis < q4d::N_DIMS; ++axis) {
      if (axis > 0) text += ',';
      text += static_cast<char>('0' + q4d::square_coord(s, axis));
    }
    text += ';';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A buffer of exactly the text and its NUL: any read past the end is caught.
  const std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';

  static Board4D board, again;
  const int result = q4d::parse_fen4(text.get(), &board);
  if (result > q4d::OK || result < q4d::FEN4_ERR_SEPARATOR || result == q4d::ERR_NULL) std::abort();
  if (!board_is_expressible(board)) std::abort();
  if (result != q4d::OK) return 0;

  if (q4d::parse_fen4(fen4_of(board).c_str(), &again) != q4d::OK) std::abort();
  if (std::memcmp(&board, &again, sizeof board) != 0) std::abort();
  return 0;
}
