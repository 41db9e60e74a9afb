#include "encoder/value_field.h"

#include <gtest/gtest.h>

#include <cmath>

#include "encoder/encoding.h"
#include "encoder/occupied_squares.h"

namespace q4d {
namespace {

// The field of every square, as the encoder builds it.
void build_value_field(const PieceLetters& pieces, ValueField& field) {
  std::int16_t occupied[N_SQUARES];
  const int n = list_occupied_squares(ISA_PORTABLE, pieces, occupied);
  q4d::build_value_field(pieces, std::span<const std::int16_t>(occupied, static_cast<std::size_t>(n)), field);
}

TEST(ValueField, ValuesAndSignsOfEveryLetter) {
  struct LetterValue {
    std::uint8_t letter;
    double value;
  };
  const LetterValue cases[] = {
      {'P', 1.0},  {'N', 3.0},  {'B', 3.25},  {'R', 5.0},  {'Q', 9.0},  {'K', 12.0},
      {'p', -1.0}, {'n', -3.0}, {'b', -3.25}, {'r', -5.0}, {'q', -9.0}, {'k', -12.0},
  };
  PieceLetters pieces{};
  for (int i = 0; i < 12; ++i) pieces[100 * i + 7] = cases[i].letter;
  ValueField field;
  field.fill(99.0);  // every entry must be written
  build_value_field(pieces, field);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(field[100 * i + 7], cases[i].value) << cases[i].letter;
}

TEST(ValueField, EmptyAndUnknownSquaresArePositiveZero) {
  PieceLetters pieces{};
  // Every byte that is not one of the twelve piece letters.
  for (int b = 0; b < 256; ++b) {
    if (piece_type_of(static_cast<std::uint8_t>(b)) < 0) pieces[b] = static_cast<std::uint8_t>(b);
  }
  ValueField field;
  field.fill(-1.0);
  build_value_field(pieces, field);
  for (int s = 0; s < N_SQUARES; ++s) {
    ASSERT_EQ(field[s], 0.0) << s;
    ASSERT_FALSE(std::signbit(field[s])) << "-0.0 at " << s;
  }
}

TEST(ValueField, PawnAxisDoesNotChangeTheValue) {
  Board4D board{};
  board.pieces[1] = 'P';
  board.pawn_axis[1] = PAWN_AXIS_Y;
  board.pieces[2] = 'p';
  board.pawn_axis[2] = PAWN_AXIS_Y;
  ValueField field;
  build_value_field(board.pieces, field);
  EXPECT_EQ(field[1], 1.0);
  EXPECT_EQ(field[2], -1.0);
}

TEST(EncodingLayout, ChannelBoundaries) {
  EXPECT_EQ(ENCODING_DIM, 45056);
  EXPECT_EQ(channel_offset(CH_A1) + CHANNEL_SIZE - 1, 4095u);
  EXPECT_EQ(channel_offset(CH_STD4_X), 4096u);
  EXPECT_EQ(channel_offset(CH_FIB_SYM_1), 20480u);
  EXPECT_EQ(channel_offset(CH_FA_PAWN_W), 32768u);
  EXPECT_EQ(channel_offset(CH_FA_PAWN_Y), 36864u);
  EXPECT_EQ(channel_offset(CH_FD_DIAG) + CHANNEL_SIZE - 1, 45055u);
}

}  // namespace
}  // namespace q4d
