// Writes the Board4D of a FEN4 literal to standard output as raw bytes
// (letters, then pawn axes): seed inputs for the encoder's fuzz target.
// Trailing zero bytes are left off; the target pads a short input back with
// empty squares.
#include <cstdio>

#include "position/fen4.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: fen4_board '<FEN4 literal>' >board.bin\n", stderr);
    return 2;
  }
  q4d::Board4D board;
  const int parsed = q4d::parse_fen4(argv[1], &board);
  if (parsed != q4d::OK) {
    std::fprintf(stderr, "fen4_board: FEN4 parse error %d\n", parsed);
    return 3;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(&board);
  std::size_t size = sizeof board;
  while (size > 0 && bytes[size - 1] == 0) --size;
  const bool ok = std::fwrite(bytes, 1, size, stdout) == size && std::fflush(stdout) == 0;
  return ok ? 0 : 3;
}
