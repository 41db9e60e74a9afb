#include "encoder/value_field.h"

namespace q4d {

void build_value_field(const PieceLetters& pieces, ValueField& field) {
  for (int s = 0; s < N_SQUARES; ++s) {
    const std::uint8_t letter = pieces[s];
    const int kind = piece_type_of(letter);
    if (kind < 0) {
      field[s] = +0.0;
      continue;
    }
    const double value = piece_values[kind];
    field[s] = letter > 0x60 ? -value : value;  // lower case: black
  }
}

}  // namespace q4d
