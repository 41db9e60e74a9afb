// Every channel-10 kernel this machine can run gives the portable kernel's bits.
#include <gtest/gtest.h>

#include <vector>

#include "encoder/diagonal_deviation_kernels.h"
#include "encoder/tables/diagonal_deviation_table.h"
#include "encoder/value_field.h"
#include "test_boards.h"

namespace q4d {
namespace {

std::vector<DiagonalTerm> terms_of(const Board4D& board) {
  const DiagonalDeviationTable& table = diagonal_deviation_table();
  ValueField field;
  build_value_field(board.pieces, field);
  std::vector<DiagonalTerm> terms;
  for (int s = 0; s < N_SQUARES; ++s) {
    const int kind = piece_type_of(board.pieces[s]);
    if (kind >= 0) terms.push_back({table[kind].data(), field[s]});
  }
  return terms;
}

TEST(DiagonalKernels, AllPathsGiveIdenticalBits) {
  const auto kernels = available_diagonal_kernels();
  ASSERT_GE(kernels.size(), 1u);
  EXPECT_STREQ(kernels[0].name, "portable");
  for (const auto& k : kernels) std::printf("kernel available: %s\n", k.name);

  std::mt19937 rng(10);
  std::vector<Board4D> boards = {
      Board4D{},
      test::make_board({{100, 'R'}, {3000, 'r'}}),  // fused residues only
      test::make_board({{5, 'K'}, {77, 'q'}, {2000, 'Q'}, {4000, 'k'}}),
  };
  for (int n : {1, 2, 31, 128, 512, 4096}) boards.push_back(test::random_board(rng, n));

  for (const Board4D& board : boards) {
    const std::vector<DiagonalTerm> terms = terms_of(board);
    std::vector<float> expected(CHANNEL_SIZE, 1.0f);
    kernels[0].run(terms.data(), static_cast<int>(terms.size()), expected.data());
    for (const auto& kernel : kernels.subspan(1)) {
      std::vector<float> out(CHANNEL_SIZE, 1.0f);
      kernel.run(terms.data(), static_cast<int>(terms.size()), out.data());
      ASSERT_EQ(std::memcmp(out.data(), expected.data(), CHANNEL_SIZE * sizeof(float)), 0)
          << kernel.name << " with " << terms.size() << " pieces";
    }
  }
}

}  // namespace
}  // namespace q4d
