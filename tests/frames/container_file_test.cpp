// The container writer and reader, every codec and thread count, against
// independent decoders (zlib, libzstd) and against damaged files.
#include "frames/container_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: the window a frame asks for
#include <zstd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "codecs/codecs.h"
#include "scratch_dir.h"
#include "zlib_whole.h"

namespace q4d {
namespace {

using test::Bytes;
using test::read_bytes;
using test::write_bytes;

// Frame k: a vector that changes a little from one frame to the next, and a
// trailer naming k.
void fill_frame(int k, float* vector, PlyTrailer* trailer) {
  for (int i = 0; i < ENCODING_DIM; ++i) vector[i] = (i % 97 == k % 97) ? static_cast<float>(k) : 0.25f * (i % 5);
  *trailer = PlyTrailer{static_cast<std::uint32_t>(100 + k), {1, 2, 3, 4}, {5, 6, 7, static_cast<std::uint8_t>(k)}, 3, 9};
}

// The plain container of frames 0 .. n-1, byte for byte, as frame_write lays it out.
Bytes plain_container(int n) {
  std::FILE* f = std::tmpfile();
  FileHeader header;
  header_init(&header);
  header.n_frames = static_cast<std::uint32_t>(n);
  EXPECT_EQ(header_write(f, &header), OK);
  auto frame = std::make_unique<FrameRecord>();
  for (int k = 0; k < n; ++k) {
    fill_frame(k, frame->vector.data(), &frame->trailer);
    EXPECT_EQ(frame_write(f, frame.get()), OK);
  }
  std::rewind(f);
  Bytes bytes = test::read_stream(f);
  std::fclose(f);
  return bytes;
}

Bytes zlib_gunzip(const Bytes& file, bool* ok) {
  Bytes out(file.size() * 2000 + 1024);
  z_stream zs{};
  inflateInit2(&zs, 15 + 16);  // gzip wrapper: CRC-32 and ISIZE checked
  zs.next_in = const_cast<Bytef*>(file.data());
  zs.avail_in = static_cast<uInt>(file.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  *ok = inflate(&zs, Z_FINISH) == Z_STREAM_END;
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return out;
}

Bytes libzstd_decompress(const Bytes& file, bool* ok) {
  const unsigned long long size = ZSTD_getFrameContentSize(file.data(), file.size());
  *ok = size != ZSTD_CONTENTSIZE_ERROR && size != ZSTD_CONTENTSIZE_UNKNOWN;
  if (!*ok) return {};
  Bytes out(size);
  const std::size_t got = ZSTD_decompress(out.data(), out.size(), file.data(), file.size());
  *ok = !ZSTD_isError(got) && got == size;
  return out;
}

// Raw deflate with the writer's fixed parameters, in one call.
Bytes zlib_deflate_6(const Bytes& content) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  return test::deflate_whole(zs, content);
}

struct ReadBack {
  Result opened;
  ContainerInfo info{};
  int frames = 0;      // frames read and equal to what was written
  Result last_read = OK;  // the result that ended the reading
};

ReadBack read_back(const std::string& path, bool verify) {
  ReadBack r{};
  ContainerReader* reader = nullptr;
  r.opened = container_reader_open(path.c_str(), ContainerReadOptions{verify}, &reader);
  if (r.opened != OK) {
    EXPECT_EQ(reader, nullptr);
    return r;
  }
  r.info = *container_reader_info(reader);
  auto got = std::make_unique<FrameRecord>();
  auto want = std::make_unique<FrameRecord>();
  for (;;) {
    r.last_read = container_reader_read(reader, got->vector.data(), &got->trailer);
    if (r.last_read != OK) break;
    fill_frame(r.frames, want->vector.data(), &want->trailer);
    EXPECT_EQ(std::memcmp(got->vector.data(), want->vector.data(), sizeof want->vector), 0) << r.frames;
    EXPECT_EQ(got->trailer.ply, want->trailer.ply);
    EXPECT_EQ(got->trailer.move_to[3], want->trailer.move_to[3]);
    EXPECT_EQ(got->trailer.flags, want->trailer.flags);
    ++r.frames;
  }
  container_reader_close(reader);
  return r;
}

class ContainerFile : public test::ScratchDirTest {
 protected:
  // Writes frames 0 .. n-1 through the writer and returns the file's bytes.
  Bytes write(ContainerCodec codec, int threads, int n, const char* name = "out") {
    ContainerWriteOptions options;
    options.codec = codec;
    options.threads = threads;
    ContainerWriter* writer = nullptr;
    EXPECT_EQ(container_writer_open(path(name).c_str(), options, &writer), OK);
    auto frame = std::make_unique<FrameRecord>();
    for (int k = 0; k < n; ++k) {
      fill_frame(k, frame->vector.data(), &frame->trailer);
      EXPECT_EQ(container_writer_write(writer, frame->vector.data(), frame->trailer), OK);
    }
    EXPECT_EQ(container_writer_frames(writer), static_cast<std::uint32_t>(n));
    EXPECT_EQ(container_writer_backfill(writer), OK);
    EXPECT_EQ(container_writer_close(writer), OK);
    return read_bytes(path(name));
  }

  ReadBack read_file(const Bytes& bytes, bool verify) {
    write_bytes(path("in"), bytes);
    return read_back(path("in"), verify);
  }

  // `content` (any bytes) in the form of `codec`, as the writer compresses.
  Bytes compressed(const Bytes& content, ContainerCodec codec) {
    if (codec == CODEC_PLAIN) return content;
    std::FILE* source = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), source);
    const std::string out = path("packed");
    EXPECT_EQ(codec == CODEC_GZIP ? gzip_write_file(out.c_str(), source, nullptr)
                                  : zstd_write_file(out.c_str(), source, 3, 0, nullptr),
              OK);
    std::fclose(source);
    return read_bytes(out);
  }
};

// Every form and thread count holds exactly the plain container, and reads
// back frame by frame with or without verification.
TEST_F(ContainerFile, RoundTripsEveryCodecAndThreadCount) {
  for (int n : {0, 1, 3}) {
    const Bytes plain = plain_container(n);
    for (ContainerCodec codec : {CODEC_PLAIN, CODEC_GZIP, CODEC_ZSTD}) {
      for (int threads : {1, 2, 3}) {
        const Bytes file = write(codec, threads, n);
        const std::string what = std::string(container_codec_name(codec)) + " threads " +
                                 std::to_string(threads) + " frames " + std::to_string(n);
        bool ok = true;
        const Bytes content = codec == CODEC_PLAIN  ? file
                              : codec == CODEC_GZIP ? zlib_gunzip(file, &ok)
                                                    : libzstd_decompress(file, &ok);
        EXPECT_TRUE(ok) << what;
        EXPECT_EQ(content, plain) << what;
        for (bool verify : {false, true}) {
          const ReadBack r = read_back(path("out"), verify);
          EXPECT_EQ(r.opened, OK) << what;
          EXPECT_EQ(r.info.codec, codec) << what;
          EXPECT_EQ(r.info.header.n_frames, static_cast<std::uint32_t>(n)) << what;
          EXPECT_EQ(r.info.frame_offset, codec == CODEC_PLAIN ? HEADER_SIZE : -1) << what;
          EXPECT_EQ(r.frames, n) << what;
          EXPECT_EQ(r.last_read, END) << what;
        }
      }
    }
  }
}

// One thread writes the gzip bytes every earlier version wrote: the fixed
// header, one deflate stream at level 6, CRC-32 and length. More threads
// write other bytes, the same for every count.
TEST_F(ContainerFile, GzipBytesDependOnlyOnOneThreadOrMore) {
  const Bytes plain = plain_container(3);
  const Bytes one = write(CODEC_GZIP, 1, 3);
  Bytes expected = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
  const Bytes deflated = zlib_deflate_6(plain);
  expected.insert(expected.end(), deflated.begin(), deflated.end());
  unsigned char trailer[8];
  store_le32(trailer, static_cast<std::uint32_t>(crc32(0, plain.data(), static_cast<uInt>(plain.size()))));
  store_le32(trailer + 4, static_cast<std::uint32_t>(plain.size()));
  expected.insert(expected.end(), trailer, trailer + 8);
  EXPECT_EQ(one, expected);

  const Bytes two = write(CODEC_GZIP, 2, 3);
  EXPECT_NE(two, one);
  EXPECT_EQ(write(CODEC_GZIP, 4, 3), two);
  EXPECT_EQ(write(CODEC_ZSTD, 2, 3), write(CODEC_ZSTD, 5, 3));
}

// The window reaches about 46 frames back, where deflate's reaches none.
TEST_F(ContainerFile, ZstdIsOneFrameWithChecksumAndAWindowOfEightMiB) {
  const int n = 50;  // 9 MB: more than the window
  const Bytes file = write(CODEC_ZSTD, 1, n);
  ASSERT_GE(file.size(), 6u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x28, 0xB5, 0x2F, 0xFD}));
  ZSTD_frameHeader frame{};
  ASSERT_EQ(ZSTD_getFrameHeader(&frame, file.data(), file.size()), 0u);
  EXPECT_EQ(frame.checksumFlag, 1u);
  EXPECT_EQ(frame.frameContentSize, std::uint64_t{HEADER_SIZE} + n * std::uint64_t{FRAME_SIZE});
  EXPECT_EQ(frame.windowSize, 8u << 20);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(file.data(), file.size()), file.size());
}

// Damaged zstd files: a cut, a flipped bit anywhere, a magic number that is
// only nearly zstd's, and a zstd file holding no container.
TEST_F(ContainerFile, DamagedZstdIsRefused) {
  const Bytes good = write(CODEC_ZSTD, 1, 3);
  struct Case {
    std::string what;
    Bytes file;
    Result expected;
  };
  std::vector<Case> cases;
  for (std::size_t keep : {std::size_t{4}, std::size_t{9}, good.size() / 2, good.size() - 4, good.size() - 1}) {
    cases.push_back({"cut to " + std::to_string(keep), Bytes(good.begin(), good.begin() + static_cast<long>(keep)),
                     CODEC_ERR_CUT});
  }
  Bytes checksum = good;
  checksum.back() ^= 0x40;
  cases.push_back({"checksum flipped", checksum, CODEC_ERR_CHECK});
  Bytes near_magic = good;
  near_magic[3] = 0xFE;
  cases.push_back({"magic 28 B5 2F FE", near_magic, CONTAINER_ERR_MAGIC});
  const std::string text = "not a container, but a zstd frame all the same";
  Bytes not_container(ZSTD_compressBound(text.size()));
  not_container.resize(ZSTD_compress(not_container.data(), not_container.size(), text.data(), text.size(), 3));
  cases.push_back({"zstd of a text", not_container, CONTAINER_ERR_SHORT_HEADER});
  Bytes garbage_after = good;
  garbage_after.insert(garbage_after.end(), {1, 2, 3, 4, 5, 6, 7, 8});
  cases.push_back({"garbage after the frame", garbage_after, CODEC_ERR_DATA});
  for (const Case& c : cases) {
    for (bool verify : {false, true}) {
      EXPECT_EQ(read_file(c.file, verify).opened, c.expected) << c.what << " verify " << verify;
    }
  }
  // Every single bit flipped past the magic number: refused with a code, or
  // (a bit the decoder ignores) read back whole; never wrong frames.
  for (std::size_t byte = 4; byte < good.size(); byte += 3) {
    Bytes flipped = good;
    flipped[byte] ^= static_cast<unsigned char>(1u << (byte % 8));
    const ReadBack r = read_file(flipped, false);
    if (r.opened == OK) {
      EXPECT_EQ(r.frames, 3) << byte;
    } else {
      EXPECT_LT(r.opened, 0) << byte;
    }
  }
}

// Without verification the reader salvages what csv always has; with it, a
// container must be whole and its gzip trailer right. Zstd is checked either
// way, so content past the last frame, which was not read, cannot pass.
TEST_F(ContainerFile, VerifyRefusesWhatCsvSalvages) {
  const Bytes plain = plain_container(3);
  const Bytes gzip = write(CODEC_GZIP, 1, 3);
  Bytes wrong_crc = gzip, wrong_isize = gzip, no_trailer = gzip;
  wrong_crc[gzip.size() - 6] ^= 1;
  wrong_isize[gzip.size() - 2] ^= 1;
  no_trailer.resize(gzip.size() - 8);
  Bytes counts_four = plain, counts_two = plain;
  counts_four[20] = 4;
  counts_two[20] = 2;
  const Bytes cut_in_frame(plain.begin(), plain.end() - 100);

  struct Case {
    std::string what;
    Bytes file;
    Result unverified;      // opening without verification
    int unverified_frames;  // frames read then (a failed read follows unless all were read)
    Result verified;        // opening with verification
  };
  std::vector<Case> cases = {
      {"gzip with a wrong CRC-32", wrong_crc, OK, 3, CODEC_ERR_CHECK},
      {"gzip with a wrong ISIZE", wrong_isize, OK, 3, CODEC_ERR_CHECK},
      {"gzip without its trailer", no_trailer, OK, 3, CODEC_ERR_CHECK},
      {"plain cut inside its last frame", cut_in_frame, OK, 2, CONTAINER_ERR_CUT_SHORT},
  };
  for (ContainerCodec codec : {CODEC_PLAIN, CODEC_GZIP, CODEC_ZSTD}) {
    const std::string name = container_codec_name(codec);
    cases.push_back({name + " counting a frame more than it holds", compressed(counts_four, codec), OK,
                     3, CONTAINER_ERR_CUT_SHORT});
    const Result long_unverified = codec == CODEC_ZSTD ? CONTAINER_ERR_TRAILING : OK;
    cases.push_back({name + " holding a frame more than it counts", compressed(counts_two, codec), long_unverified, 2,
                     CONTAINER_ERR_TRAILING});
  }
  for (const Case& c : cases) {
    const ReadBack off = read_file(c.file, false);
    EXPECT_EQ(off.opened, c.unverified) << c.what;
    if (off.opened == OK) {
      EXPECT_EQ(off.frames, c.unverified_frames) << c.what;
      const bool all_read = off.frames == static_cast<int>(off.info.header.n_frames);
      EXPECT_EQ(off.last_read, all_read ? END : CONTAINER_ERR_FRAME) << c.what;
    }
    EXPECT_EQ(read_file(c.file, true).opened, c.verified) << c.what;
  }
}

// The number of anonymous (deleted) temporary files the process holds open,
// inherited ones included.
int temporary_files() {
  int found = 0;
  DIR* dir = opendir("/proc/self/fd");
  for (dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
    char target[512];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    found += std::strstr(target, "(deleted)") != nullptr;
  }
  if (dir != nullptr) closedir(dir);
  return found;
}

// Regression: a compressed container was inflated into a temporary file as
// far as its header's count went, so a small file claiming 2^31 frames
// filled the temporary folder before verification refused it. It is now
// checked in a pass that writes nothing and read as a stream; the check is
// interruptible, and reading stops at the header's frames however much more
// the stream holds.
TEST_F(ContainerFile, CompressedContainersNeedNoTemporarySpace) {
  Bytes claims_many = plain_container(1);
  store_le32(claims_many.data() + 20, 0x80000000u);
  claims_many.resize(claims_many.size() + 40 * 1024 * 1024, 0);  // the check is asked twice
  Bytes holds_more = plain_container(1);
  holds_more.resize(holds_more.size() + 1024 * 1024, 0);
  for (ContainerCodec codec : {CODEC_GZIP, CODEC_ZSTD}) {
    const std::string what = container_codec_name(codec);
    write_bytes(path("many"), compressed(claims_many, codec));
    EXPECT_EQ(read_back(path("many"), true).opened, CONTAINER_ERR_CUT_SHORT) << what;
    ContainerReader* reader = nullptr;
    const int before = temporary_files();
    ASSERT_EQ(container_reader_open(path("many").c_str(), ContainerReadOptions{}, &reader), OK) << what;
    EXPECT_EQ(temporary_files(), before) << what;
    container_reader_close(reader);

    int asked = 0;
    ContainerReadOptions stop;
    stop.interrupted = [](void* count) { return ++*static_cast<int*>(count) == 2; };
    stop.interrupt_context = &asked;
    Failure failure;
    EXPECT_EQ(container_reader_open(path("many").c_str(), stop, &reader, &failure), ERR_INTERRUPTED) << what;
    EXPECT_EQ(asked, 2) << what;
    EXPECT_EQ(failure.path, path("many")) << what;
    EXPECT_EQ(reader, nullptr);

    write_bytes(path("more"), compressed(holds_more, codec));
    const ReadBack unverified = read_back(path("more"), false);
    EXPECT_EQ(unverified.opened, codec == CODEC_GZIP ? OK : CONTAINER_ERR_TRAILING) << what;
    EXPECT_EQ(unverified.frames, codec == CODEC_GZIP ? 1 : 0) << what;
    EXPECT_EQ(read_back(path("more"), true).opened, CONTAINER_ERR_TRAILING) << what;
  }
}

// Regression: a folder was "too short for a 256-byte header", and a FIFO
// without a writer blocked the opening forever. Only regular files are
// containers; anything else is refused before it is read.
TEST_F(ContainerFile, OnlyRegularFilesAreOpened) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  for (const std::string& name : {dir_, path("fifo"), std::string("/dev/null")}) {
    for (bool verify : {false, true}) {
      ContainerReader* reader = nullptr;
      Failure failure;
      EXPECT_EQ(container_reader_open(name.c_str(), ContainerReadOptions{verify}, &reader, &failure),
                ERR_NOT_REGULAR) << name;
      EXPECT_EQ(failure.path, name);
      EXPECT_EQ(failure.error_number, name == dir_ ? EISDIR : 0) << name;
    }
  }
  Failure failure;
  ContainerReader* reader = nullptr;
  EXPECT_EQ(container_reader_open(path("missing").c_str(), ContainerReadOptions{}, &reader, &failure), ERR_OPEN);
  EXPECT_EQ(failure.path, path("missing"));
  EXPECT_EQ(failure.error_number, ENOENT);
  EXPECT_EQ(reader, nullptr);
}

TEST_F(ContainerFile, WriterFailures) {
  ContainerWriter* writer = reinterpret_cast<ContainerWriter*>(1);
  ContainerWriteOptions bad_level;
  bad_level.codec = CODEC_ZSTD;
  bad_level.zstd_level = ZSTD_LEVEL_MAX + 1;
  ContainerWriteOptions bad_threads;
  bad_threads.threads = -1;
  ContainerWriteOptions bad_codec;
  bad_codec.codec = static_cast<ContainerCodec>(7);
  for (const ContainerWriteOptions& o : {bad_level, bad_threads, bad_codec}) {
    EXPECT_EQ(container_writer_open(path("x").c_str(), o, &writer), ERR_ARGUMENT);
    EXPECT_EQ(writer, nullptr);
  }
  EXPECT_EQ(container_writer_open(nullptr, ContainerWriteOptions{}, &writer), ERR_NULL);
  EXPECT_EQ(container_writer_open(path("no/such/dir").c_str(), ContainerWriteOptions{}, &writer),
            ERR_CREATE);

  // A compressed container is made only at close: a path that cannot be
  // created fails there, with the path and errno, and a discarded writer
  // leaves nothing.
  for (ContainerCodec codec : {CODEC_GZIP, CODEC_ZSTD}) {
    ContainerWriteOptions options;
    options.codec = codec;
    Failure failure;
    ASSERT_EQ(container_writer_open(path("no/such/dir").c_str(), options, &writer), OK);
    EXPECT_EQ(container_writer_close(writer, &failure), ERR_CREATE);
    EXPECT_EQ(failure.path, path("no/such/dir"));
    EXPECT_EQ(failure.error_number, ENOENT);
    ASSERT_EQ(container_writer_open(path("discarded").c_str(), options, &writer), OK);
    container_writer_discard(writer);
    EXPECT_FALSE(std::filesystem::exists(path("discarded")));
    ASSERT_EQ(container_writer_open("/dev/full", options, &writer), OK);
    const Result closed = container_writer_close(writer, &failure);
    EXPECT_TRUE(closed == ERR_WRITE || closed == ERR_CLOSE) << result_name(closed);
    EXPECT_EQ(failure.error_number, ENOSPC);
  }
  // A plain full disk shows at the latest when the output is closed.
  ASSERT_EQ(container_writer_open("/dev/full", ContainerWriteOptions{}, &writer), OK);
  EXPECT_EQ(container_writer_close(writer), ERR_CLOSE);

  // A caller's stream is plain, is never sought, and keeps its count.
  std::FILE* stream = std::tmpfile();
  ContainerWriteOptions gzip;
  gzip.codec = CODEC_GZIP;
  EXPECT_EQ(container_writer_open_stream(stream, gzip, &writer), ERR_ARGUMENT);
  ContainerWriteOptions one;
  one.n_frames = 1;
  std::fputs("earlier bytes", stream);
  ASSERT_EQ(container_writer_open_stream(stream, one, &writer), OK);
  EXPECT_EQ(container_writer_backfill(writer), CONTAINER_ERR_COUNT);  // 0 frames written, 1 counted
  auto frame = std::make_unique<FrameRecord>();
  fill_frame(0, frame->vector.data(), &frame->trailer);
  ASSERT_EQ(container_writer_write(writer, frame->vector.data(), frame->trailer), OK);
  EXPECT_EQ(container_writer_backfill(writer), OK);
  EXPECT_EQ(container_writer_close(writer), OK);
  std::rewind(stream);
  Bytes expected = {'e', 'a', 'r', 'l', 'i', 'e', 'r', ' ', 'b', 'y', 't', 'e', 's'};
  const Bytes one_frame = plain_container(1);
  expected.insert(expected.end(), one_frame.begin(), one_frame.end());
  EXPECT_EQ(test::read_stream(stream), expected);
  std::fclose(stream);
}

// Frames written after a backfill go after the others, not over them.
TEST_F(ContainerFile, FramesAfterABackfillAreAppended) {
  ContainerWriter* writer = nullptr;
  ASSERT_EQ(container_writer_open(path("out").c_str(), ContainerWriteOptions{}, &writer), OK);
  auto frame = std::make_unique<FrameRecord>();
  for (int k = 0; k < 3; ++k) {
    fill_frame(k, frame->vector.data(), &frame->trailer);
    ASSERT_EQ(container_writer_write(writer, frame->vector.data(), frame->trailer), OK);
    ASSERT_EQ(container_writer_backfill(writer), OK);
  }
  ASSERT_EQ(container_writer_close(writer), OK);
  EXPECT_EQ(read_bytes(path("out")), plain_container(3));
}

TEST_F(ContainerFile, ReaderFailuresLeaveNothingOpen) {
  ContainerReader* reader = reinterpret_cast<ContainerReader*>(1);
  EXPECT_EQ(container_reader_open(nullptr, ContainerReadOptions{}, &reader), ERR_NULL);
  const Bytes plain = plain_container(1);
  Bytes version_5 = plain, frame_size = plain, other_dimension = plain;
  version_5[8] = 5;
  frame_size[16] ^= 1;
  store_le32(other_dimension.data() + 12, 10);
  store_le32(other_dimension.data() + 16, 54);
  struct Case {
    const char* what;
    Bytes file;
    Result expected;
  };
  const Case cases[] = {
      {"empty", {}, CONTAINER_ERR_SHORT_HEADER},
      {"one gzip byte", {0x1F}, CONTAINER_ERR_SHORT_HEADER},
      {"gzip magic alone", {0x1F, 0x8B}, CODEC_ERR_HEADER},
      {"zstd magic alone", {0x28, 0xB5, 0x2F, 0xFD}, CODEC_ERR_CUT},
      {"version 5", version_5, CONTAINER_ERR_VERSION},
      {"frame_size off by one", frame_size, CONTAINER_ERR_FRAME_SIZE},
      {"frames of 10 floats", other_dimension, CONTAINER_ERR_DIMENSION},
      {"gzip of frames of 10 floats", compressed(other_dimension, CODEC_GZIP), CONTAINER_ERR_DIMENSION},
  };
  for (const Case& c : cases) EXPECT_EQ(read_file(c.file, false).opened, c.expected) << c.what;
}

}  // namespace
}  // namespace q4d
