// The batch entry points give every board the bits of encode_position,
// whatever the number of threads, and touch nothing outside their output.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "encoder/encoder_pool.h"
#include "test_boards.h"

namespace q4d {
namespace {

struct Batch {
  std::vector<Board4D> boards;
  std::vector<float> expected;  // encode_position of each board
};

Batch random_batch(int n) {
  std::mt19937 rng(static_cast<unsigned>(n));
  Batch batch;
  for (int k = 0; k < n; ++k) batch.boards.push_back(test::random_board(rng, (k * 37) % 300));
  batch.expected.resize(static_cast<std::size_t>(n) * ENCODING_DIM);
  for (int k = 0; k < n; ++k) {
    const auto v = test::encode(batch.boards[k]);
    std::copy(v->begin(), v->end(), batch.expected.begin() + static_cast<std::ptrdiff_t>(k) * ENCODING_DIM);
  }
  return batch;
}

// One float of room on each side, to catch a write outside the batch.
std::vector<float> guarded_output(std::size_t n) { return std::vector<float>(n * ENCODING_DIM + 2, 7.0f); }

void expect_batch(const Batch& batch, const std::vector<float>& out, const char* what) {
  ASSERT_EQ(out.front(), 7.0f) << what;
  ASSERT_EQ(out.back(), 7.0f) << what;
  EXPECT_EQ(std::memcmp(out.data() + 1, batch.expected.data(), batch.expected.size() * sizeof(float)), 0) << what;
}

TEST(EncodeBatch, OneThreadMatchesEncodePosition) {
  const Batch batch = random_batch(9);
  auto workspace = std::make_unique<EncoderWorkspace>();
  auto out = guarded_output(batch.boards.size());
  ASSERT_EQ(encode_positions(batch.boards.data(), batch.boards.size(), out.data() + 1, workspace.get()), 0);
  expect_batch(batch, out, "encode_positions");
}

TEST(EncodeBatch, PoolBitsDoNotDependOnThreadCount) {
  const Batch batch = random_batch(23);
  for (int threads : {1, 2, 3, 8}) {
    EncoderPool* pool = nullptr;
    ASSERT_EQ(encoder_pool_create(threads, &pool), POOL_OK);
    EXPECT_EQ(encoder_pool_threads(pool), threads);
    // Several jobs in a row through the same threads, of every size.
    for (std::size_t n : {batch.boards.size(), std::size_t{1}, std::size_t{2}, batch.boards.size()}) {
      auto out = guarded_output(n);
      ASSERT_EQ(encoder_pool_encode(pool, batch.boards.data(), n, out.data() + 1), POOL_OK);
      Batch prefix{{}, {batch.expected.begin(), batch.expected.begin() + static_cast<std::ptrdiff_t>(n * ENCODING_DIM)}};
      expect_batch(prefix, out, ("threads " + std::to_string(threads) + ", n " + std::to_string(n)).c_str());
    }
    encoder_pool_destroy(pool);
  }
}

TEST(EncodeBatch, ZeroThreadsMeansOnePerProcessor) {
  EncoderPool* pool = nullptr;
  ASSERT_EQ(encoder_pool_create(0, &pool), POOL_OK);
  EXPECT_EQ(encoder_pool_threads(pool), available_processors());
  encoder_pool_destroy(pool);
}

}  // namespace
}  // namespace q4d
