// Walking the occupied squares of a board, in ascending order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "position/board.h"

namespace q4d {

// Calls visit(s) for every square whose letter is not 0, ascending. Boards
// are mostly empty, so eight letters are tested at a time.
template <class Visit>
inline void for_each_occupied(const PieceLetters& pieces, Visit&& visit) {
  for (int base = 0; base < N_SQUARES; base += 8) {
    std::uint64_t word;
    std::memcpy(&word, pieces.data() + base, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    while (word != 0) {
      const int byte = std::countr_zero(word) / 8;  // lowest byte first: ascending squares
      visit(base + byte);
      word &= ~(std::uint64_t{0xFF} << (8 * byte));
    }
  }
}

}  // namespace q4d
