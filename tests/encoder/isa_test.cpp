// Every build of the encoder this processor runs gives the portable build's
// bits, on boards from empty to full, cancelling pairs and noise letters.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "encoder/isa.h"
#include "encoder/stages.h"
#include "test_boards.h"

namespace q4d {
namespace {

TEST(EncoderIsa, EveryBuildGivesThePortableBits) {
  const auto isas = runnable_isas();
  ASSERT_EQ(isas.front(), ISA_PORTABLE);
  EXPECT_EQ(isas.back(), machine_isa());
  for (Isa isa : isas) std::printf("encoder build available: %s\n", isa_name(isa));

  std::mt19937 rng(10);
  std::vector<Board4D> boards = {
      Board4D{},
      test::make_board({{100, 'R'}, {3000, 'r'}}),  // channel 10 holds fused residues only
      test::make_board({{5, 'K'}, {77, 'q'}, {2000, 'Q'}, {4000, 'k'}, {9, 'X'}, {10, 'p', PAWN_AXIS_Y}}),
  };
  for (int n : {1, 2, 31, 128, 512, 4096}) boards.push_back(test::random_board(rng, n));
  for (int n : {128, 300}) boards.push_back(test::realistic_board(rng, n));

  auto workspace = std::make_unique<EncoderWorkspace>();
  auto expected = std::make_unique<EncodingVector>();
  auto got = std::make_unique<EncodingVector>();
  for (const Board4D& board : boards) {
    encode_position_in(ISA_PORTABLE, board, *expected, *workspace);
    for (Isa isa : isas.subspan(1)) {
      got->fill(1.0f);
      encode_position_in(isa, board, *got, *workspace);
      for (int e = 0; e < ENCODING_DIM; ++e) {
        ASSERT_EQ(test::float_bits((*got)[e]), test::float_bits((*expected)[e]))
            << isa_name(isa) << ", element " << e << " (channel " << e / CHANNEL_SIZE << ")";
      }
    }
  }
}

}  // namespace
}  // namespace q4d
