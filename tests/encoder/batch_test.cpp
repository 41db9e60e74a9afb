// The batch entry points give every board the bits of encode_position,
// whatever the number of threads (grown or shrunk between jobs), and touch
// nothing outside their output; the shared pool is one per process, bounded.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "base/processors.h"
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

void expect_batch(const Batch& batch, std::size_t n, const std::vector<float>& out, const std::string& what) {
  ASSERT_EQ(out.front(), 7.0f) << what;
  ASSERT_EQ(out.back(), 7.0f) << what;
  EXPECT_EQ(std::memcmp(out.data() + 1, batch.expected.data(), n * ENCODING_DIM * sizeof(float)), 0) << what;
}

// Several jobs in a row through the same threads, of every size, in both
// dtypes: a bfloat16 batch holds the rounding of the float32 one.
void expect_pool_bits(EncoderPool* pool, const Batch& batch, const std::string& what) {
  for (std::size_t n : {batch.boards.size(), std::size_t{1}, std::size_t{2}, batch.boards.size()}) {
    auto out = guarded_output(n);
    ASSERT_EQ(encoder_pool_encode(pool, batch.boards.data(), n, out.data() + 1), OK);
    expect_batch(batch, n, out, what + ", n " + std::to_string(n));
  }
  std::vector<std::uint16_t> half(batch.boards.size() * ENCODING_DIM);
  ASSERT_EQ(encoder_pool_encode(pool, batch.boards.data(), batch.boards.size(), half.data(), {DTYPE_BFLOAT16, true}), OK);
  for (std::size_t e = 0; e < half.size(); ++e) ASSERT_EQ(half[e], bfloat16_bits(batch.expected[e])) << what << ", " << e;
}

TEST(EncodeBatch, OneThreadMatchesEncodePosition) {
  const Batch batch = random_batch(9);
  auto workspace = std::make_unique<EncoderWorkspace>();
  auto out = guarded_output(batch.boards.size());
  ASSERT_EQ(encode_positions(batch.boards.data(), batch.boards.size(), out.data() + 1, workspace.get()), OK);
  expect_batch(batch, batch.boards.size(), out, "encode_positions");
  EXPECT_EQ(encode_positions(nullptr, 0, nullptr, nullptr), OK);
  EXPECT_EQ(encode_positions(batch.boards.data(), 1, nullptr, workspace.get()), ERR_NULL);
  EXPECT_EQ(encode_positions(batch.boards.data(), 1, out.data(), workspace.get(), {static_cast<EncodingDtype>(2)}),
            ERR_ARGUMENT);
}

TEST(EncodeBatch, PoolBitsDoNotDependOnThreadCount) {
  const Batch batch = random_batch(23);
  for (int threads : {1, 2, 3, 8}) {
    EncoderPool* pool = nullptr;
    ASSERT_EQ(encoder_pool_create(threads, &pool), OK);
    EXPECT_EQ(encoder_pool_threads(pool), threads);
    expect_pool_bits(pool, batch, "threads " + std::to_string(threads));
    encoder_pool_destroy(pool);
  }
}

TEST(EncodeBatch, PoolGrowsAndShrinks) {
  const Batch batch = random_batch(11);
  EncoderPool* pool = nullptr;
  ASSERT_EQ(encoder_pool_create(2, &pool), OK);
  for (int threads : {5, 1, 3, 2, 0}) {
    ASSERT_EQ(encoder_pool_resize(pool, threads), OK);
    EXPECT_EQ(encoder_pool_threads(pool), threads == 0 ? available_processors() : threads);
    expect_pool_bits(pool, batch, "resized to " + std::to_string(threads));
  }
  EXPECT_EQ(encoder_pool_resize(pool, -1), ERR_ARGUMENT);
  EXPECT_EQ(encoder_pool_resize(pool, MAX_POOL_THREADS + 1), ERR_ARGUMENT);
  EXPECT_EQ(encoder_pool_threads(pool), available_processors());  // a refused resize changes nothing
  encoder_pool_destroy(pool);
}

TEST(EncodeBatch, ThreadCountsOutOfRange) {
  EncoderPool* pool = nullptr;
  ASSERT_EQ(encoder_pool_create(0, &pool), OK);
  EXPECT_EQ(encoder_pool_threads(pool), available_processors());
  encoder_pool_destroy(pool);
  for (int threads : {-1, MAX_POOL_THREADS + 1}) {
    EXPECT_EQ(encoder_pool_create(threads, &pool), ERR_ARGUMENT);
    EXPECT_EQ(pool, nullptr);
  }
  const int limit = shared_pool_thread_limit();
  EXPECT_EQ(limit, std::min(256, 4 * available_processors()));
  for (int threads : {-1, limit + 1, 1000}) {
    EXPECT_EQ(shared_encoder_pool(threads, &pool), ERR_ARGUMENT) << threads;
    EXPECT_EQ(pool, nullptr);
  }
  EXPECT_EQ(encoder_pool_create(1, nullptr), ERR_NULL);
  EXPECT_EQ(encoder_pool_encode(nullptr, nullptr, 0, nullptr), ERR_NULL);
}

// One pool for the process whatever the counts asked, each call's count in
// force after it; callers on several threads at once, with different counts,
// all get the same bits.
TEST(EncodeBatch, SharedPoolIsOnePerProcess) {
  const Batch batch = random_batch(13);
  EncoderPool* first = nullptr;
  ASSERT_EQ(shared_encoder_pool(3, &first), OK);
  EXPECT_EQ(encoder_pool_threads(first), 3);
  EncoderPool* again = nullptr;
  ASSERT_EQ(shared_encoder_pool(shared_pool_thread_limit(), &again), OK);
  EXPECT_EQ(again, first);
  EXPECT_EQ(encoder_pool_threads(again), shared_pool_thread_limit());

  std::vector<std::vector<float>> outs(6, guarded_output(batch.boards.size()));
  std::vector<std::thread> callers;
  for (int c = 0; c < 6; ++c) {
    callers.emplace_back([&, c] {
      for (int round = 0; round < 3; ++round) {
        EncoderPool* pool = nullptr;
        if (shared_encoder_pool(1 + (c + round) % 3, &pool) != OK) return;
        (void)encoder_pool_encode(pool, batch.boards.data(), batch.boards.size(), outs[c].data() + 1);
      }
    });
  }
  for (std::thread& t : callers) t.join();
  for (int c = 0; c < 6; ++c) expect_batch(batch, batch.boards.size(), outs[c], "caller " + std::to_string(c));
}

}  // namespace
}  // namespace q4d
