// Encodings of twelve positions computed by an independent implementation.
//
// Channels 0-7 must agree bit for bit. Channels 8-10 depend on generated
// constants whose last bits may differ between faithful generations, so they
// may differ by one float32 unit in the last place or 2e-14 absolutely.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "position/fixture_file.h"
#include "test_boards.h"

namespace q4d {
namespace {

const std::string REFERENCE_DIR = std::string(QUORVANE_TEST_DATA) + "/reference/";

const char* const NAMES[] = {
    "empty",         "lone_white_king_0", "lone_black_knight_10", "lone_white_bishop_83",
    "y_pawn_668",    "w_pawn_pair",       "rook_pair_cancel",     "queen_king_cancel",
    "unknown_letter", "mixed_20",         "mixed_96",             "mixed_250",
};

Board4D fixture_board(const char* name) {
  Board4D board;
  std::FILE* file = std::fopen((REFERENCE_DIR + "positions.jsonl").c_str(), "r");
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(read_fixture(file, name, &board), FIXTURE_FOUND) << name;
  std::fclose(file);
  return board;
}

std::vector<float> reference_vector(const char* name) {
  std::ifstream in(REFERENCE_DIR + name + ".f32", std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.size(), ENCODING_DIM * sizeof(float)) << name;
  std::vector<float> v(ENCODING_DIM);
  std::memcpy(v.data(), bytes.data(), std::min(bytes.size(), v.size() * sizeof(float)));
  return v;
}

bool within_tolerance(float got, float want) {
  if (got == want) return true;
  if (std::fabs(static_cast<double>(got) - static_cast<double>(want)) <= 2e-14) return true;
  return std::nextafter(want, got) == got;  // one unit in the last place
}

TEST(ReferenceEncodings, AgreeWithTheIndependentImplementation) {
  for (const char* name : NAMES) {
    const auto v = test::encode(fixture_board(name));
    const std::vector<float> want = reference_vector(name);
    const std::size_t exact = channel_offset(CH_FA_PAWN_W);
    ASSERT_EQ(std::memcmp(v->data(), want.data(), exact * sizeof(float)), 0) << name << ": channels 0-7";
    for (std::size_t e = exact; e < ENCODING_DIM; ++e) {
      ASSERT_TRUE(within_tolerance((*v)[e], want[e])) << name << " element " << e << ": " << (*v)[e] << " vs " << want[e];
    }
  }
}

TEST(ReferenceEncodings, CancellingPairsKeepTheirFusedResidues) {
  for (const char* name : {"rook_pair_cancel", "queen_king_cancel"}) {
    const auto v = test::encode(fixture_board(name));
    int non_zero = 0;
    for (int j = 0; j < CHANNEL_SIZE; ++j) non_zero += (*v)[channel_offset(CH_FD_DIAG) + j] != 0.0f;
    EXPECT_GT(non_zero, CHANNEL_SIZE / 2) << name;
  }
}

// A fingerprint of the encodings of a fixed set of positions: any change of
// output bits shows here and must be a conscious one.
TEST(ReferenceEncodings, DeterminismSignature) {
  std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a, 64 bit
  auto mix = [&](const EncodingVector& v) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(v.data());
    for (std::size_t i = 0; i < sizeof v; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  };
  for (const char* name : NAMES) mix(*test::encode(fixture_board(name)));
  std::mt19937 rng(2026);
  for (int n : {3, 40, 160, 640}) mix(*test::encode(test::random_board(rng, n)));
  EXPECT_EQ(hash, 0xc92afda2465e660cull) << std::hex << hash;
}

}  // namespace
}  // namespace q4d
