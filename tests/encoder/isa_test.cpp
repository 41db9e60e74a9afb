// Every build of the encoder this processor runs gives the portable build's
// bits, on boards from empty to full, cancelling pairs and noise letters, in
// every output format: float32 or bfloat16, through the caches or streamed,
// at any alignment of the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "encoder/final_stores.h"
#include "encoder/isa.h"
#include "encoder/stages.h"
#include "test_boards.h"

namespace q4d {
namespace {

std::vector<Board4D> isa_boards() {
  std::mt19937 rng(10);
  std::vector<Board4D> boards = {
      Board4D{},
      test::make_board({{100, 'R'}, {3000, 'r'}}),  // channel 10 holds fused residues only
      test::make_board({{5, 'K'}, {77, 'q'}, {2000, 'Q'}, {4000, 'k'}, {9, 'X'}, {10, 'p', PAWN_AXIS_Y}}),
  };
  for (int n : {1, 2, 31, 128, 512, 4096}) boards.push_back(test::random_board(rng, n));
  for (int n : {128, 300}) boards.push_back(test::realistic_board(rng, n));
  return boards;
}

TEST(EncoderIsa, EveryBuildGivesThePortableBits) {
  const auto isas = runnable_isas();
  ASSERT_EQ(isas.front(), ISA_PORTABLE);
  EXPECT_EQ(isas.back(), machine_isa());
  for (Isa isa : isas) std::printf("encoder build available: %s\n", isa_name(isa));

  auto workspace = std::make_unique<EncoderWorkspace>();
  auto expected = std::make_unique<EncodingVector>();
  auto got = std::make_unique<EncodingVector>();
  for (const Board4D& board : isa_boards()) {
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

// A batch in each format and build, at an offset from a 64-byte boundary
// (aligned, one element off, and a byte off that no vector store can reach),
// gives the portable float32 bits, rounded to bfloat16 where asked, and
// writes nothing around it.
TEST(EncoderIsa, EveryFormatGivesTheFloat32Bits) {
  const std::vector<Board4D> boards = isa_boards();
  const std::size_t n = boards.size();
  auto workspace = std::make_unique<EncoderWorkspace>();
  std::vector<float> expected(n * ENCODING_DIM);
  ASSERT_EQ(encode_positions_in(ISA_PORTABLE, boards.data(), n, expected.data(), workspace.get(), {}), OK);

  constexpr unsigned char GUARD = 0xA5;
  for (Isa isa : runnable_isas()) {
    for (EncodingDtype dtype : {DTYPE_FLOAT32, DTYPE_BFLOAT16}) {
      const std::size_t size = encoding_bytes(dtype) / ENCODING_DIM;
      for (bool streaming : {false, true}) {
        for (std::size_t offset : {std::size_t{0}, size, std::size_t{1}}) {
          const std::size_t bytes = n * encoding_bytes(dtype);
          std::vector<unsigned char> buffer(bytes + 192, GUARD);
          unsigned char* base = buffer.data() + (64 - reinterpret_cast<std::uintptr_t>(buffer.data()) % 64);
          unsigned char* out = base + offset;
          ASSERT_EQ(encode_positions_in(isa, boards.data(), n, out, workspace.get(), {dtype, streaming}), OK);
          const std::string what = std::string(isa_name(isa)) + (dtype == DTYPE_BFLOAT16 ? ", bfloat16" : ", float32") +
                                   (streaming ? ", streaming" : "") + ", offset " + std::to_string(offset);
          ASSERT_TRUE(std::all_of(buffer.data(), out, [](unsigned char b) { return b == GUARD; })) << what;
          ASSERT_TRUE(std::all_of(out + bytes, buffer.data() + buffer.size(), [](unsigned char b) { return b == GUARD; }))
              << what;
          for (std::size_t e = 0; e < n * ENCODING_DIM; ++e) {
            std::uint32_t got_bits = 0, want_bits = test::float_bits(expected[e]);
            if (dtype == DTYPE_BFLOAT16) {
              std::uint16_t b;
              std::memcpy(&b, out + 2 * e, 2);
              got_bits = b;
              want_bits = bfloat16_bits(expected[e]);
            } else {
              std::memcpy(&got_bits, out + 4 * e, 4);
            }
            ASSERT_EQ(got_bits, want_bits) << what << ", board " << e / ENCODING_DIM << ", element " << e % ENCODING_DIM;
          }
        }
      }
    }
  }
}

TEST(Bfloat16, RoundsToNearestEvenAndKeepsNaN) {
  struct Case {
    std::uint32_t in;
    std::uint16_t out;
  };
  const Case cases[] = {
      {0x3F800000, 0x3F80},  // 1
      {0x80000000, 0x8000},  // -0 keeps its sign
      {0x3F808000, 0x3F80},  // a tie goes to the even neighbour: down
      {0x3F818000, 0x3F82},  // and up
      {0x3F808001, 0x3F81},  // above the tie
      {0x3F807FFF, 0x3F80},  // below it
      {0xBF818000, 0xBF82},  // negative ties likewise
      {0x00008000, 0x0000},  // subnormals round like any other value
      {0x00018000, 0x0002},
      {0x007FFFFF, 0x0080},  // the largest subnormal rounds up to the smallest normal
      {0x7F7FFFFF, 0x7F80},  // beyond the largest bfloat16: infinity
      {0xFF7F8000, 0xFF80},
      {0x7F7F7FFF, 0x7F7F},  // the largest bfloat16 itself
      {0x7F800000, 0x7F80},  // infinities stay
      {0xFF800000, 0xFF80},
      {0x7FC00000, 0x7FC0},  // NaN stays NaN, sign and top payload kept, made quiet
      {0x7F800001, 0x7FC0},  // a payload only in the dropped bits
      {0xFF812345, 0xFFC1},
      {0x7FFFFFFF, 0x7FFF},  // never carried into the sign
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bfloat16_bits(std::bit_cast<float>(c.in)), c.out) << std::hex << c.in;
  }
}

// The final stores of every build convert like bfloat16_bits, on values the
// encoder never makes (NaNs, infinities, subnormals) as on others, from any
// position of the source and to any alignment of the output.
TEST(Bfloat16, EveryBuildConvertsLikeTheScalarRounding) {
  std::mt19937 rng(3);
  std::vector<float> values(4099);
  for (float& v : values) {
    const std::uint32_t bits = rng();
    const std::uint32_t specials[] = {0x7F800000 | (bits & 0x807FFFFF), bits & 0x807FFFFF, (bits & 0xFFFF0000) | 0x8000, bits};
    v = std::bit_cast<float>(specials[rng() % 4]);
  }
  std::vector<unsigned char> buffer(2 * values.size() + 64);
  for (Isa isa : runnable_isas()) {
    for (bool streaming : {false, true}) {
      for (std::size_t offset : {0, 2, 6, 1}) {
        const std::size_t first = offset % 3;  // also from an unaligned source
        const std::size_t n = values.size() - first;
        store_values(isa, values.data() + first, n, buffer.data() + offset, {DTYPE_BFLOAT16, streaming});
        finish_stores(isa, {DTYPE_BFLOAT16, streaming});
        for (std::size_t i = 0; i < n; ++i) {
          std::uint16_t got;
          std::memcpy(&got, buffer.data() + offset + 2 * i, 2);
          ASSERT_EQ(got, bfloat16_bits(values[first + i]))
              << isa_name(isa) << (streaming ? " streaming" : "") << ", offset " << offset << ", element " << i << " "
              << std::hex << test::float_bits(values[first + i]);
        }
      }
    }
  }
}

}  // namespace
}  // namespace q4d
