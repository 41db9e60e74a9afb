// Properties every encoding must have, over random positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "encoder/stages.h"
#include "test_boards.h"

// Counts heap allocations made while `counting` is set.
namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// The encoder pool allocates with nothrow forms: they must come from the same
// allocator as the deletes below (AddressSanitizer checks the pairing).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting) ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace q4d {
namespace {

using test::encode;
using test::random_board;
using test::same_bits;

// Applies the symmetry that permutes the axes by `perm` and mirrors those in
// `mirror_mask` to every piece of the board.
Board4D transform(const Board4D& board, const std::array<int, 4>& perm, int mirror_mask) {
  Board4D out{};
  for (int s = 0; s < N_SQUARES; ++s) {
    int c[4];
    for (int axis = 0; axis < 4; ++axis) {
      const int v = square_coord(s, perm[axis]);
      c[axis] = (mirror_mask >> axis) & 1 ? 7 - v : v;
    }
    const int t = square_index(c[0], c[1], c[2], c[3]);
    out.pieces[t] = board.pieces[s];
    out.pawn_axis[t] = board.pawn_axis[s];
  }
  return out;
}

TEST(EncoderProperties, OrbitMeanIsInvariantUnderAllBoardSymmetries) {
  std::mt19937 rng(384);
  const Board4D board = random_board(rng, 80);
  const auto reference = encode(board);
  std::array<int, 4> perm = {0, 1, 2, 3};
  int n_symmetries = 0;
  do {
    for (int mirror = 0; mirror < 16; ++mirror) {
      const auto v = encode(transform(board, perm, mirror));
      ASSERT_EQ(std::memcmp(v->data(), reference->data(), CHANNEL_SIZE * sizeof(float)), 0)
          << "symmetry " << n_symmetries;
      ++n_symmetries;
    }
  } while (std::next_permutation(perm.begin(), perm.end()));
  EXPECT_EQ(n_symmetries, B4_ORDER);
}

TEST(EncoderProperties, ResidualChannelsSumToZeroAtEverySquare) {
  std::mt19937 rng(4);
  const auto v = encode(random_board(rng, 300));
  for (int s = 0; s < N_SQUARES; ++s) {
    float sum = 0.0f;
    for (int axis = 0; axis < 4; ++axis) sum += (*v)[channel_offset(CH_STD4_X + axis) + s];
    ASSERT_EQ(sum, 0.0f) << s;
  }
}

// Rounding to nearest is symmetric, so swapping colours negates every
// element exactly (zeros compare equal whatever their sign).
TEST(EncoderProperties, SwappingColoursNegatesEveryChannel) {
  std::mt19937 rng(11);
  for (int n_pieces : {1, 17, 200}) {
    Board4D board = random_board(rng, n_pieces);
    const auto v = encode(board);
    for (auto& letter : board.pieces) {
      if (letter >= 'A' && letter <= 'Z') {
        letter = static_cast<std::uint8_t>(letter + 32);
      } else if (letter >= 'a' && letter <= 'z') {
        letter = static_cast<std::uint8_t>(letter - 32);
      }
    }
    const auto swapped = encode(board);
    for (int e = 0; e < ENCODING_DIM; ++e) ASSERT_EQ((*swapped)[e], -(*v)[e]) << "element " << e;
  }
}

TEST(EncoderProperties, DeterministicWithoutStateBetweenCalls) {
  std::mt19937 rng(7);
  const Board4D a = random_board(rng, 64);
  const Board4D b = random_board(rng, 500);
  auto first = encode(a);
  auto other = encode(b);
  auto again = std::make_unique<EncodingVector>();
  again->fill(123.0f);  // every element is overwritten
  encode_position(a, *again);
  EXPECT_TRUE(same_bits(*first, *again));
  EXPECT_FALSE(same_bits(*first, *other));
}

TEST(EncoderProperties, NoHeapAllocation) {
  std::mt19937 rng(3);
  const Board4D board = random_board(rng, 256);
  auto out = std::make_unique<EncodingVector>();
  encode_position(board, *out);  // tables are generated on first use
  allocations = 0;
  counting = true;
  for (int i = 0; i < 3; ++i) encode_position(board, *out);
  counting = false;
  EXPECT_EQ(allocations, 0);
}

}  // namespace
}  // namespace q4d
