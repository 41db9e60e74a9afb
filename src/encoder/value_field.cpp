#include "encoder/value_field.h"

#include <cstring>

namespace q4d {
namespace {

// Signed value of every byte: upper case white, lower case black, any other
// byte +0.0.
constexpr std::array<double, 256> LETTER_VALUES = [] {
  std::array<double, 256> values{};
  for (int b = 0; b < 256; ++b) {
    const int kind = piece_type_of(static_cast<std::uint8_t>(b));
    if (kind >= 0) values[b] = b > 0x60 ? -piece_values[kind] : piece_values[kind];
  }
  return values;
}();

}  // namespace

void build_value_field(const PieceLetters& pieces, std::span<const std::int16_t> occupied, ValueField& field) {
  std::memset(field.data(), 0, sizeof field);  // +0.0 everywhere
  for (const int s : occupied) field[s] = LETTER_VALUES[pieces[s]];
}

}  // namespace q4d
