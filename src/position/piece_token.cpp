#include "position/piece_token.h"

#include <cstring>

#include "position/board.h"

namespace q4d {

bool is_piece_letter(unsigned char c) { return c != 0 && std::strchr("KQRBNPkqrbnp", c) != nullptr; }

const char* read_piece_token(const char* p, bool slash_allowed, PieceToken* token) {
  if (*p == '\0') return nullptr;
  token->letter = static_cast<std::uint8_t>(*p);
  token->axis = NO_PAWN_AXIS;
  ++p;
  if (token->letter != 'P' && token->letter != 'p') return p;
  const char* axis = slash_allowed && *p == '/' ? p + 1 : p;
  if (*axis == 'w' || *axis == 'y') {
    token->axis = *axis == 'y' ? PAWN_AXIS_Y : PAWN_AXIS_W;
    return axis + 1;
  }
  return p;
}

}  // namespace q4d
