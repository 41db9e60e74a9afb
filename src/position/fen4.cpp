#include "position/fen4.h"

#include <cstring>

namespace q4d {
namespace {

bool is_fen4_space(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

const unsigned char* skip_space(const unsigned char* p) {
  while (is_fen4_space(*p)) ++p;
  return p;
}

bool is_coord_digit(unsigned char c) { return c >= '0' && c <= '7'; }

// Reads a piece token at p. On success stores its letter and axis flag and
// returns the byte after it; otherwise returns nullptr.
const unsigned char* read_piece(const unsigned char* p, std::uint8_t* letter, std::uint8_t* axis) {
  const unsigned char c = *p;
  if (c != 0 && std::strchr("KQRBNkqrbn", c)) {
    *letter = c;
    *axis = PAWN_AXIS_W;
    return p + 1;
  }
  if (c != 'P' && c != 'p') return nullptr;
  *letter = c;
  ++p;
  if (*p == '/') ++p;
  if (*p == 'w') {
    *axis = PAWN_AXIS_W;
  } else if (*p == 'y') {
    *axis = PAWN_AXIS_Y;
  } else {
    return nullptr;
  }
  return p + 1;
}

}  // namespace

int parse_fen4(const char* text, Board4D* board) {
  if (text == nullptr || board == nullptr) return FEN4_ERR_NULL;
  std::memset(board, 0, sizeof *board);

  // Every byte examined below is reached only after the previous one matched
  // something other than NUL, so the parser never runs past the end.
  const auto* p = skip_space(reinterpret_cast<const unsigned char*>(text));
  static constexpr char PREFIX[] = "4d-fen v1:";
  for (int i = 0; PREFIX[i] != '\0'; ++i) {
    if (p[i] != static_cast<unsigned char>(PREFIX[i])) return FEN4_ERR_PREFIX;
  }
  p = skip_space(p + sizeof PREFIX - 1);
  if (*p == '\0') return FEN4_OK;

  for (;;) {
    std::uint8_t letter = 0;
    std::uint8_t axis = 0;
    p = read_piece(p, &letter, &axis);
    if (p == nullptr) return FEN4_ERR_PIECE;
    p = skip_space(p);
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
    board->pieces[s] = letter;
    board->pawn_axis[s] = axis;

    p = skip_space(p);
    if (*p == '\0') return FEN4_OK;
    if (*p != ';') return FEN4_ERR_SEPARATOR;
    p = skip_space(p + 1);
    if (*p == '\0') return FEN4_OK;  // one trailing ";" is fine
  }
}

const char* fen4_error_name(int code) {
  switch (code) {
    case FEN4_OK: return "ok";
    case FEN4_ERR_NULL: return "absent argument";
    case FEN4_ERR_PREFIX: return "missing \"4d-fen v1:\" prefix";
    case FEN4_ERR_PIECE: return "bad piece token";
    case FEN4_ERR_COORD: return "bad coordinates";
    case FEN4_ERR_DUPLICATE: return "square given twice";
    case FEN4_ERR_SEPARATOR: return "expected \";\" or the end after an entry";
    default: return "unknown error";
  }
}

}  // namespace q4d
