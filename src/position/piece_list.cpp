#include "position/piece_list.h"

#include <cstring>

namespace q4d {

void compact_board(const Board4D& board, std::vector<PieceWord>* pieces) {
  pieces->clear();
  // Eight squares at a time: most of a board is empty.
  for (int s = 0; s < N_SQUARES; s += 8) {
    std::uint64_t eight;
    std::memcpy(&eight, &board.pieces[s], sizeof eight);
    if (eight == 0) continue;
    for (int k = s; k < s + 8; ++k) {
      if (board.pieces[k] == 0) continue;
      pieces->push_back(piece_word(k, board.pawn_axis[k], board.pieces[k]));
    }
  }
}

void expand_board(const PieceWord* pieces, std::size_t n, Board4D* board) {
  std::memset(board, 0, sizeof *board);
  for (std::size_t k = 0; k < n; ++k) {
    const int s = piece_square(pieces[k]);
    board->pawn_axis[s] = static_cast<std::uint8_t>(piece_pawn_axis(pieces[k]));
    board->pieces[s] = static_cast<std::uint8_t>(piece_letter(pieces[k]));
  }
}

}  // namespace q4d
