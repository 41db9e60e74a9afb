// Batches of FEN4 texts: the bits of parse and encode, in either dtype, and a
// text that does not parse named without anything written.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "encoder/fen4_batch.h"
#include "test_boards.h"

namespace q4d {
namespace {

struct Texts {
  std::vector<std::string> strings;
  std::vector<const char*> pointers;
  std::vector<std::size_t> lengths;
  void add(std::string s) {
    strings.push_back(std::move(s));
    pointers.clear();
    lengths.clear();
    for (const std::string& t : strings) {
      pointers.push_back(t.c_str());
      lengths.push_back(t.size());
    }
  }
};

TEST(Fen4Batch, EncodesAsParseAndEncode) {
  std::mt19937 rng(11);
  Texts texts;
  std::vector<float> expected;
  for (int k = 0; k < 300; ++k) {  // more than one chunk of boards
    const Board4D board = test::random_board(rng, (k * 7) % 130);
    texts.add(test::fen4_of(board));
    const auto v = test::encode(board);
    expected.insert(expected.end(), v->begin(), v->end());
  }
  for (int threads : {1, 3}) {
    EncoderPool* pool = nullptr;
    ASSERT_EQ(encoder_pool_create(threads, &pool), OK);
    std::vector<float> out(expected.size() + 2, 7.0f);
    ASSERT_EQ(encode_fen4_batch(pool, texts.pointers.data(), texts.lengths.data(), texts.strings.size(), out.data() + 1,
                                {DTYPE_FLOAT32, threads == 3}, nullptr),
              OK);
    EXPECT_EQ(out.front(), 7.0f);
    EXPECT_EQ(out.back(), 7.0f);
    EXPECT_EQ(std::memcmp(out.data() + 1, expected.data(), expected.size() * sizeof(float)), 0) << threads;
    // bfloat16 rows are half as long: the chunks after the first land at their place.
    std::vector<std::uint16_t> half(expected.size());
    ASSERT_EQ(encode_fen4_batch(pool, texts.pointers.data(), texts.lengths.data(), texts.strings.size(), half.data(),
                                {DTYPE_BFLOAT16, false}, nullptr),
              OK);
    for (std::size_t e = 0; e < half.size(); ++e) ASSERT_EQ(half[e], bfloat16_bits(expected[e])) << e;
    encoder_pool_destroy(pool);
  }
}

// A bad text anywhere leaves the output untouched and is named; a NUL inside
// a text is a byte like any other, never its end.
TEST(Fen4Batch, ErrorsLeaveTheOutputAlone) {
  struct Case {
    std::string bad;
    Result error;
  };
  const Case cases[] = {
      {"4d-fen v1: K@0,0,0,8", FEN4_ERR_COORD},
      {std::string("4d-fen v1: K@0,0,0,0\0; k@1,1,1,1", 32), FEN4_ERR_SEPARATOR},
      {std::string("4d-fen v1:\0", 11), FEN4_ERR_PIECE},
      {std::string("\0" "4d-fen v1:", 11), FEN4_ERR_PREFIX},
      {"", FEN4_ERR_PREFIX},
  };
  EncoderPool* pool = nullptr;
  ASSERT_EQ(encoder_pool_create(2, &pool), OK);
  for (const Case& c : cases) {
    Texts texts;
    for (int k = 0; k < 9; ++k) texts.add(k == 6 ? c.bad : "4d-fen v1: K@0,0,0," + std::to_string(k % 8));
    std::vector<float> out(9 * ENCODING_DIM, 7.0f);
    Failure failure;
    EXPECT_EQ(encode_fen4_batch(pool, texts.pointers.data(), texts.lengths.data(), 9, out.data(), {}, &failure), c.error);
    EXPECT_EQ(failure.result, c.error);
    EXPECT_EQ(failure.index, 6);
    EXPECT_EQ(failure.fen4_error, c.error) << c.bad.size();
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float f) { return f == 7.0f; }));
  }
  EXPECT_EQ(encode_fen4_batch(pool, nullptr, nullptr, 0, nullptr, {}, nullptr), OK);
  EXPECT_EQ(encode_fen4_batch(nullptr, nullptr, nullptr, 0, nullptr, {}, nullptr), ERR_NULL);
  encoder_pool_destroy(pool);
}

}  // namespace
}  // namespace q4d
