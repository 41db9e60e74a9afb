#include "frames/container.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "base/byte_order.h"

namespace q4d {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes stream_bytes(std::FILE* f) {
  Bytes bytes;
  std::rewind(f);
  for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
  return bytes;
}

std::FILE* stream_of(const Bytes& bytes) {
  std::FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

Bytes written_header(std::uint32_t n_frames) {
  FileHeader header;
  header_init(&header);
  header.n_frames = n_frames;
  std::FILE* f = std::tmpfile();
  EXPECT_EQ(header_write(f, &header), OK);
  Bytes bytes = stream_bytes(f);
  std::fclose(f);
  return bytes;
}

TEST(Container, HeaderBytesAreExact) {
  Bytes expected = {'E', 'N', 'A', 'V', 'U', 'Q', 'O', 'R',  //
                    0x04, 0x00, 0x00, 0x00,                  // version
                    0x00, 0xB0, 0x00, 0x00,                  // encoding_dim 45056
                    0x0E, 0xC0, 0x02, 0x00,                  // frame_size 180238
                    0x07, 0x01, 0x00, 0x00,                  // n_frames 263
                    0x08, 0x00, 0x00, 0x00,                  // board_side
                    0x04, 0x00, 0x00, 0x00};                 // n_dims
  expected.resize(HEADER_SIZE, 0);
  EXPECT_EQ(written_header(263), expected);
}

TEST(Container, HeaderValidationOrderAndCodes) {
  struct Edit {
    int offset;  // -1: none
    std::uint32_t value;
  };
  struct Case {
    const char* what;
    Edit first, second;
    bool break_magic;
    std::size_t length;  // bytes kept
    Result expected;
  };
  const Edit none{-1, 0};
  const Case cases[] = {
      {"as written", none, none, false, 256, OK},
      {"version 3", {8, 3}, none, false, 256, OK},
      {"version 2", {8, 2}, none, false, 256, CONTAINER_ERR_VERSION},
      {"version 5", {8, 5}, none, false, 256, CONTAINER_ERR_VERSION},
      {"frame size one short", {16, 180237}, none, false, 256, CONTAINER_ERR_FRAME_SIZE},
      {"other dimension, old frame size", {12, 10}, none, false, 256, CONTAINER_ERR_FRAME_SIZE},
      {"magic before version", {8, 9}, none, true, 256, CONTAINER_ERR_MAGIC},
      {"magic before frame size", {16, 1}, none, true, 256, CONTAINER_ERR_MAGIC},
      {"version before frame size", {8, 0}, {16, 0}, false, 256, CONTAINER_ERR_VERSION},
      {"255 bytes", none, none, false, 255, CONTAINER_ERR_SHORT_HEADER},
      {"empty file", none, none, false, 0, CONTAINER_ERR_SHORT_HEADER},
  };
  for (const Case& c : cases) {
    Bytes bytes = written_header(5);
    for (const Edit& e : {c.first, c.second}) {
      if (e.offset >= 0) store_le32(&bytes[e.offset], e.value);
    }
    if (c.break_magic) bytes[0] = 'e';
    bytes.resize(c.length);
    std::FILE* f = stream_of(bytes);
    FileHeader header;
    EXPECT_EQ(header_read(f, &header), c.expected) << c.what;
    if (c.expected == OK) {
      EXPECT_EQ(std::ftell(f), 256) << c.what;
    }
    std::fclose(f);
  }
}

TEST(Container, FrameSizeIsComparedIn32Bits) {
  // 0x40000000 * 4 + 14 wraps to 14: such a header passes, as in every reader.
  const std::pair<std::uint32_t, std::uint32_t> dims[] = {{10, 54}, {0x40000000u, 14}, {45056, 180238}};
  for (auto [dim, size] : dims) {
    Bytes bytes = written_header(0);
    store_le32(&bytes[12], dim);
    store_le32(&bytes[16], size);
    std::FILE* f = stream_of(bytes);
    FileHeader header;
    EXPECT_EQ(header_read(f, &header), OK) << dim;
    EXPECT_EQ(header.encoding_dim, dim);
    EXPECT_EQ(header.n_frames, 0u);
    std::fclose(f);
  }
}

TEST(Container, AbsentArguments) {
  FileHeader header;
  auto frame = std::make_unique<FrameRecord>();
  std::FILE* f = std::tmpfile();
  header_init(nullptr);  // must not crash
  EXPECT_EQ(header_write(nullptr, &header), ERR_NULL);
  EXPECT_EQ(header_write(f, nullptr), ERR_NULL);
  EXPECT_EQ(header_write_here(f, nullptr), ERR_NULL);
  EXPECT_EQ(header_read(nullptr, &header), ERR_NULL);
  EXPECT_EQ(header_read(f, nullptr), ERR_NULL);
  EXPECT_EQ(frame_write(nullptr, frame.get()), ERR_NULL);
  EXPECT_EQ(frame_write(f, nullptr), ERR_NULL);
  EXPECT_EQ(frame_read(nullptr, frame.get()), ERR_NULL);
  EXPECT_EQ(frame_read(f, nullptr), ERR_NULL);
  std::fclose(f);
}

TEST(Container, HeaderToAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::FILE* w = fdopen(fds[1], "wb");
  FileHeader header;
  header_init(&header);
  EXPECT_EQ(header_write(w, &header), ERR_SEEK);
  EXPECT_EQ(header_write_here(w, &header), OK);
  std::fclose(w);
  unsigned char got[HEADER_SIZE + 1];
  std::size_t n = 0;
  for (ssize_t r; (r = read(fds[0], got + n, sizeof got - n)) > 0;) n += static_cast<std::size_t>(r);
  close(fds[0]);
  EXPECT_EQ(n, std::size_t{HEADER_SIZE});
  EXPECT_EQ(Bytes(got, got + HEADER_SIZE), written_header(0));
}

TEST(Container, FrameRoundTripKeepsEveryBitAndTheLayout) {
  auto frame = std::make_unique<FrameRecord>();
  for (int i = 0; i < ENCODING_DIM; ++i) frame->vector[i] = static_cast<float>(i) * 0.25f - 3.0f;
  frame->vector[1] = -0.0f;
  frame->vector[2] = std::nanf("");
  frame->vector[3] = 1e-45f;  // subnormal
  frame->trailer = {0xA1B2C3D4u, {1, 2, 3, 4}, {255, 6, 7, 8}, 9, 200};

  std::FILE* f = std::tmpfile();
  FileHeader header;
  header_init(&header);
  ASSERT_EQ(header_write(f, &header), OK);
  ASSERT_EQ(frame_write(f, frame.get()), OK);
  ASSERT_EQ(frame_write(f, frame.get()), OK);  // frame 1 starts unaligned in memory terms
  header.n_frames = 2;
  ASSERT_EQ(header_write(f, &header), OK);  // backfill in place
  EXPECT_EQ(std::ftell(f), 256);

  const Bytes bytes = stream_bytes(f);
  ASSERT_EQ(bytes.size(), 256u + 2 * 180238u);
  EXPECT_EQ(bytes[20], 2);  // n_frames after the backfill
  const std::size_t frame1 = 256 + 180238;
  const Bytes first_float(bytes.begin() + frame1, bytes.begin() + frame1 + 4);
  EXPECT_EQ(first_float, (Bytes{0x00, 0x00, 0x40, 0xC0}));  // -3.0f
  const Bytes trailer(bytes.begin() + frame1 + 180224, bytes.end());
  EXPECT_EQ(trailer, (Bytes{0xD4, 0xC3, 0xB2, 0xA1, 1, 2, 3, 4, 255, 6, 7, 8, 9, 200}));

  ASSERT_EQ(header_read(f, &header), OK);
  EXPECT_EQ(header.n_frames, 2u);
  for (int k = 0; k < 2; ++k) {
    auto back = std::make_unique<FrameRecord>();
    ASSERT_EQ(frame_read(f, back.get()), OK);
    EXPECT_EQ(std::memcmp(back->vector.data(), frame->vector.data(), sizeof frame->vector), 0);
    EXPECT_EQ(back->trailer.ply, 0xA1B2C3D4u);
    EXPECT_EQ(std::memcmp(back->trailer.move_to, frame->trailer.move_to, 4), 0);
    EXPECT_EQ(back->trailer.flags, 200);
  }
  auto extra = std::make_unique<FrameRecord>();
  EXPECT_EQ(frame_read(f, extra.get()), CONTAINER_ERR_FRAME);  // past the last frame
  std::fclose(f);
}

TEST(Container, FrameCutShortReadsAsFailure) {
  auto frame = std::make_unique<FrameRecord>();
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{180224}, std::size_t{180237}}) {
    std::FILE* f = std::tmpfile();
    ASSERT_EQ(frame_write(f, frame.get()), OK);
    Bytes bytes = stream_bytes(f);
    std::fclose(f);
    bytes.resize(cut);
    f = stream_of(bytes);
    EXPECT_EQ(frame_read(f, frame.get()), CONTAINER_ERR_FRAME) << cut;
    std::fclose(f);
  }
}

}  // namespace
}  // namespace q4d
