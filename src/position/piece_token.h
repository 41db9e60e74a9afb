// A piece token: the letter of a piece and, for a pawn, the axis it moves
// along, w or y. FEN4 writes it as "K", "Pw" or "P/w"; fixture files as "K"
// or "Pw". Both read it here; each checks the letter and where it ends.
#pragma once

#include <cstdint>

namespace q4d {

inline constexpr int NO_PAWN_AXIS = -1;

struct PieceToken {
  std::uint8_t letter;
  int axis;  // PAWN_AXIS_W, PAWN_AXIS_Y, or NO_PAWN_AXIS when none follows
};

// True for the twelve letters of the pieces: KQRBNP and kqrbnp.
bool is_piece_letter(unsigned char c);

// Reads the token at p: any byte but NUL as its letter, then, after P or p,
// an axis letter (w or y), which `slash_allowed` lets follow a "/". Returns
// the byte after the token, or nullptr when p is at the end of the text. A
// pawn letter not followed by an axis ends the token with NO_PAWN_AXIS.
const char* read_piece_token(const char* p, bool slash_allowed, PieceToken* token);

}  // namespace q4d
