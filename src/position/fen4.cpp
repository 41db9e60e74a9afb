#include "position/fen4.h"

#include <cstring>
#include <string>

#include "position/piece_token.h"

namespace q4d {
namespace {

bool is_fen4_space(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

const unsigned char* skip_space(const unsigned char* p) {
  while (is_fen4_space(*p)) ++p;
  return p;
}

bool is_coord_digit(unsigned char c) { return c >= '0' && c <= '7'; }

}  // namespace

Result parse_fen4(const char* text, Board4D* board) {
  if (text == nullptr || board == nullptr) return ERR_NULL;
  std::memset(board, 0, sizeof *board);

  // Every byte examined below is reached only after the previous one matched
  // something other than NUL, so the parser never runs past the end.
  const auto* p = skip_space(reinterpret_cast<const unsigned char*>(text));
  static constexpr char PREFIX[] = "4d-fen v1:";
  for (int i = 0; PREFIX[i] != '\0'; ++i) {
    if (p[i] != static_cast<unsigned char>(PREFIX[i])) return FEN4_ERR_PREFIX;
  }
  p = skip_space(p + sizeof PREFIX - 1);
  if (*p == '\0') return OK;

  for (;;) {
    // Only piece letters, and a pawn only with its axis.
    PieceToken token;
    const char* after = read_piece_token(reinterpret_cast<const char*>(p), true, &token);
    if (after == nullptr || !is_piece_letter(token.letter)) return FEN4_ERR_PIECE;
    const bool pawn = token.letter == 'P' || token.letter == 'p';
    if (pawn && token.axis == NO_PAWN_AXIS) return FEN4_ERR_PIECE;
    p = skip_space(reinterpret_cast<const unsigned char*>(after));
    if (*p != '@') return FEN4_ERR_PIECE;
    p = skip_space(p + 1);

    int coord[4];
    for (int i = 0; i < 4; ++i) {
      if (i > 0) {
        if (*p != ',') return FEN4_ERR_COORD;
        ++p;
      }
      if (!is_coord_digit(*p)) return FEN4_ERR_COORD;
      coord[i] = *p - '0';
      ++p;
    }
    const int s = square_index(coord[0], coord[1], coord[2], coord[3]);
    if (board->pieces[s] != 0) return FEN4_ERR_DUPLICATE;
    board->pieces[s] = token.letter;
    board->pawn_axis[s] = pawn ? static_cast<std::uint8_t>(token.axis) : PAWN_AXIS_W;

    p = skip_space(p);
    if (*p == '\0') return OK;
    if (*p != ';') return FEN4_ERR_SEPARATOR;
    p = skip_space(p + 1);
    if (*p == '\0') return OK;  // one trailing ";" is fine
  }
}

Result parse_fen4_text(const char* text, std::size_t length, Board4D* board) {
  if (text == nullptr || board == nullptr) return ERR_NULL;
  if (std::memchr(text, '\0', length) == nullptr) return parse_fen4(text, board);
  // A copy in which inner NULs become another byte that matches no rule.
  std::string copy(text, length);
  for (char& c : copy) {
    if (c == '\0') c = '\x01';
  }
  return parse_fen4(copy.c_str(), board);
}

}  // namespace q4d
