#include "codecs/codecs.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "zlib_whole.h"

namespace q4d {
namespace {

using test::Bytes;
using test::read_bytes;

const unsigned char FIXED_HEADER[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};

// The bytes a decoder gives for a whole file, or its first failure.
Result decode_gzip(const Bytes& file, bool check_trailer, Bytes* content) {
  std::FILE* f = std::tmpfile();
  std::fwrite(file.data(), 1, file.size(), f);
  std::rewind(f);
  GzipDecoder* decoder = nullptr;
  Result result = gzip_decoder_open(f, check_trailer, &decoder, nullptr);
  unsigned char chunk[1000];  // small, so that reads stop inside the stream
  while (result == OK) {
    std::size_t n = 0;
    result = gzip_decoder_read(decoder, chunk, sizeof chunk, &n, nullptr);
    if (n == 0) break;
    content->insert(content->end(), chunk, chunk + n);
  }
  gzip_decoder_close(decoder);
  std::fclose(f);
  return result;
}

class Gzip : public test::ScratchDirTest {
 protected:
  // Compresses `content` with the writer under test (blocks with `threads`
  // of 2 or more); returns the file bytes.
  Bytes gzip(const Bytes& content, int threads = 1) {
    std::FILE* source = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), source);
    const std::string name = path("written.gz");
    EXPECT_EQ(threads == 1 ? gzip_write_file(name.c_str(), source, nullptr)
                           : gzip_write_file_blocks(name.c_str(), source, threads, nullptr),
              OK);
    std::fclose(source);
    return read_bytes(path("written.gz"));
  }

  Result open_read(const Bytes& file_bytes, Bytes* content) { return decode_gzip(file_bytes, false, content); }
};

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<unsigned char>(gen());
  return bytes;
}

// A gzip file made by zlib's own gzip writer, with optional header fields
// as other tools write them.
Bytes zlib_gzip(const Bytes& content, const char* name, const char* comment, bool extra, bool hcrc) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  unsigned char extra_field[] = {'Q', 'V', 3, 0, 'a', 'b', 'c'};
  gz_header header{};
  header.os = 3;
  header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name));
  header.comment = reinterpret_cast<Bytef*>(const_cast<char*>(comment));
  if (extra) {
    header.extra = extra_field;
    header.extra_len = sizeof extra_field;
  }
  header.hcrc = hcrc ? 1 : 0;
  EXPECT_EQ(deflateSetHeader(&zs, &header), Z_OK);
  return test::deflate_whole(zs, content);
}

// Decodes a whole gzip file with zlib, checking its CRC-32 and ISIZE.
bool zlib_gunzip(const Bytes& file, Bytes* content) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
  zs.next_in = const_cast<Bytef*>(file.data());
  zs.avail_in = static_cast<uInt>(file.size());
  unsigned char buf[4096];
  int status;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    status = inflate(&zs, Z_NO_FLUSH);
    content->insert(content->end(), buf, buf + (sizeof buf - zs.avail_out));
  } while (status == Z_OK);
  inflateEnd(&zs);
  return status == Z_STREAM_END;
}

TEST_F(Gzip, WrittenFileHasTheFixedHeaderAndTrailer) {
  const Bytes file = gzip(text("123456789"));
  ASSERT_GE(file.size(), 18u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 10), Bytes(FIXED_HEADER, FIXED_HEADER + 10));
  // The CRC-32 check value of "123456789" is CBF43926; ISIZE 9.
  EXPECT_EQ(Bytes(file.end() - 8, file.end()), (Bytes{0x26, 0x39, 0xF4, 0xCB, 0x09, 0x00, 0x00, 0x00}));
}

TEST_F(Gzip, RoundTripsThroughTheReaderAndThroughZlib) {
  Bytes container(180494, 0);  // a one-frame container of zeros
  std::memcpy(container.data(), "ENAVUQOR", 8);
  Bytes pattern(131072);  // exactly two reads of the source
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<unsigned char>(i * 7 / 5);
  const Bytes contents[] = {{}, text("123456789"), pattern, container, random_bytes(300000, 7)};
  for (const Bytes& content : contents) {
    const Bytes file = gzip(content);
    Bytes back, independent;
    EXPECT_EQ(open_read(file, &back), 0) << content.size();
    EXPECT_EQ(back, content) << content.size();
    EXPECT_TRUE(zlib_gunzip(file, &independent)) << "CRC or ISIZE wrong for " << content.size();
    EXPECT_EQ(independent, content) << content.size();
  }
  const Bytes file = gzip(container);
  EXPECT_EQ(Bytes(file.end() - 4, file.end()), (Bytes{0x0E, 0xC1, 0x02, 0x00}));
}

TEST_F(Gzip, ReadsOptionalHeaderFields) {
  struct Case {
    const char* name;
    const char* comment;
    bool extra, hcrc;
  };
  const Case cases[] = {
      {"game.quorvane4", nullptr, false, false}, {nullptr, "a comment", false, false},
      {nullptr, nullptr, true, false},           {nullptr, nullptr, false, true},
      {"game.quorvane4", "comment", true, true},
  };
  const Bytes content = random_bytes(70000, 3);
  for (const Case& c : cases) {
    Bytes back;
    EXPECT_EQ(open_read(zlib_gzip(content, c.name, c.comment, c.extra, c.hcrc), &back), 0);
    EXPECT_EQ(back, content) << (c.name ? c.name : "-") << (c.comment ? c.comment : "-") << c.extra << c.hcrc;
  }
}

TEST_F(Gzip, TrailerIsCheckedOnlyWhenAsked) {
  const Bytes content = text("the trailer is read only when asked");
  const Bytes good = gzip(content);
  Bytes wrong_crc = good, wrong_size = good, cut = good, cut_inside = good;
  wrong_crc[good.size() - 8] ^= 0xFF;
  wrong_size[good.size() - 1] ^= 0x01;
  cut.resize(good.size() - 8);
  cut_inside.resize(good.size() - 3);
  Bytes back;
  EXPECT_EQ(decode_gzip(good, true, &back), 0);
  EXPECT_EQ(back, content);
  for (const Bytes& file : {wrong_crc, wrong_size, cut, cut_inside}) {
    back.clear();
    EXPECT_EQ(open_read(file, &back), 0);
    EXPECT_EQ(back, content);
    back.clear();
    EXPECT_EQ(decode_gzip(file, true, &back), CODEC_ERR_CHECK) << file.size();
  }
}

TEST_F(Gzip, OnlyTheFirstMemberIsRead) {
  Bytes file = gzip(text("first member"));
  const Bytes second = zlib_gzip(text("second member"), "x", nullptr, false, false);
  file.insert(file.end(), second.begin(), second.end());
  Bytes back;
  EXPECT_EQ(open_read(file, &back), 0);
  EXPECT_EQ(back, text("first member"));
}

TEST_F(Gzip, MalformedFilesAreRejected) {
  const Bytes good = gzip(random_bytes(100000, 5));
  Bytes cut_stream = good, corrupt = good, cm7 = good, short_header(good.begin(), good.begin() + 9);
  cut_stream.resize(good.size() / 2);
  corrupt[10] = 0xFF;  // first block: final, reserved block type 3
  cm7[2] = 7;
  Bytes name_to_end = {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 0xFF, 'n', 'a', 'm', 'e'};
  Bytes comment_to_end = name_to_end;
  comment_to_end[3] = 16;
  Bytes extra_too_long = {0x1F, 0x8B, 8, 4, 0, 0, 0, 0, 0, 0xFF, 0x10, 0x00, 'a', 'b'};
  Bytes hcrc_cut = {0x1F, 0x8B, 8, 2, 0, 0, 0, 0, 0, 0xFF, 0x12};
  struct Case {
    const char* what;
    const Bytes& file;
    Result expected;
  };
  const Case cases[] = {
      {"cut inside the deflate stream", cut_stream, CODEC_ERR_CUT},
      {"corrupt deflate data", corrupt, CODEC_ERR_DATA},
      {"header only", short_header, CODEC_ERR_HEADER},
      {"CM 7", cm7, CODEC_ERR_HEADER},
      {"FNAME runs to the end", name_to_end, CODEC_ERR_HEADER},
      {"FCOMMENT runs to the end", comment_to_end, CODEC_ERR_HEADER},
      {"FEXTRA longer than the file", extra_too_long, CODEC_ERR_HEADER},
      {"FHCRC cut", hcrc_cut, CODEC_ERR_HEADER},
  };
  for (const Case& c : cases) {
    Bytes back;
    EXPECT_EQ(open_read(c.file, &back), c.expected) << c.what;
  }
}

TEST_F(Gzip, WriteFailures) {
  std::FILE* source = std::tmpfile();
  std::fputs("some container bytes", source);
  for (int threads : {1, 2}) {
    auto write = [&](const char* out, std::FILE* in) {
      return threads == 1 ? gzip_write_file(out, in, nullptr) : gzip_write_file_blocks(out, in, threads, nullptr);
    };
    EXPECT_EQ(write(nullptr, source), ERR_NULL);
    EXPECT_EQ(write(path("a.gz").c_str(), nullptr), ERR_NULL);
    EXPECT_EQ(write(path("no/such/dir.gz").c_str(), source), ERR_CREATE);
    // Everything fits the output's buffer, so a full disk shows only on close.
    EXPECT_EQ(write("/dev/full", source), ERR_CLOSE);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE* pipe_source = fdopen(fds[0], "rb");
    EXPECT_EQ(write(path("b.gz").c_str(), pipe_source), ERR_SEEK);
    std::fclose(pipe_source);
    close(fds[1]);
  }
  std::fclose(source);
}

TEST_F(Gzip, DecoderReportsWhereTheStreamStops) {
  const Bytes file = gzip(random_bytes(100000, 9));
  const std::size_t deflate_end = file.size() - 8;
  struct Case {
    const char* what;
    std::size_t keep;
    Result expected;
  };
  const Case cases[] = {
      {"whole stream", deflate_end, OK},
      {"cut after output was made", deflate_end / 2, CODEC_ERR_CUT},
      {"cut before any output", 11, CODEC_ERR_CUT},
      {"no deflate data", 10, CODEC_ERR_CUT},
  };
  for (const Case& c : cases) {
    Bytes back;
    EXPECT_EQ(open_read(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.keep)), &back), c.expected)
        << c.what;
  }
  GzipDecoder* decoder = nullptr;
  EXPECT_EQ(gzip_decoder_open(nullptr, false, &decoder, nullptr), ERR_NULL);
  std::size_t n = 0;
  EXPECT_EQ(gzip_decoder_read(nullptr, nullptr, 1, &n, nullptr), ERR_NULL);
}

// The block method: one valid gzip member whose bytes depend only on its
// content, for block counts around the edges of the ring of blocks.
TEST_F(Gzip, ThreadedBlocksGiveOneMemberWhateverTheThreadCount) {
  const std::size_t block = 128 * 1024;
  const Bytes contents[] = {{},
                            text("123456789"),
                            random_bytes(block, 1),
                            random_bytes(block + 1, 2),
                            random_bytes(9 * block - 5, 3),
                            Bytes(5 * block, 'q')};
  for (const Bytes& content : contents) {
    const Bytes two = gzip(content, 2);
    Bytes independent, back;
    EXPECT_TRUE(zlib_gunzip(two, &independent)) << content.size();
    EXPECT_EQ(independent, content) << content.size();
    EXPECT_EQ(decode_gzip(two, true, &back), 0) << content.size();
    EXPECT_EQ(back, content) << content.size();
    EXPECT_EQ(Bytes(two.begin(), two.begin() + 10), Bytes(FIXED_HEADER, FIXED_HEADER + 10));
    for (int threads : {3, 7}) EXPECT_EQ(gzip(content, threads), two) << content.size() << " " << threads;
  }
  // Priming each block with the one before keeps the size of one stream.
  Bytes game;
  for (int frame = 0; frame < 40; ++frame) {
    Bytes next = random_bytes(20000, 11);
    next[static_cast<std::size_t>(frame) * 7] ^= 1;
    game.insert(game.end(), next.begin(), next.end());
  }
  const double ratio = static_cast<double>(gzip(game, 2).size()) / static_cast<double>(gzip(game).size());
  EXPECT_LT(ratio, 1.01);
}

}  // namespace
}  // namespace q4d
