#include "position/ply_log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "position/key_scan.h"
#include "scratch_dir.h"
#include "zlib_whole.h"

namespace q4d {
namespace {

TEST(PlyLog, IntegerKeys) {
  struct Case {
    const char* line;
    Result expected;
    std::int64_t value;
  };
  const Case cases[] = {
      {R"({"ply": 5})", OK, 5},
      {R"({"ply":5})", OK, 5},
      {"{\"ply\": \t 7}", OK, 7},
      {R"({"ply": -3})", OK, -3},
      {R"({"ply": 1.5})", OK, 1},
      {R"({"ply": -})", OK, 0},
      {R"({"ply": --4})", OK, 0},
      {R"({"ply": 007})", OK, 7},
      {R"({"ply": 9223372036854775807})", OK, INT64_MAX},
      {R"({"ply": 99999999999999999999})", OK, INT64_MAX},
      {R"({"ply": -9223372036854775808})", OK, INT64_MIN},
      {R"({"ply": -99999999999999999999})", OK, INT64_MIN},
      {R"({"meta": {"ply": 9}, "ply": 3})", OK, 9},  // first occurrence, even nested
      {R"({"ply" : 5})", KEY_ABSENT, 0},              // no space before the colon
      {R"({"PLY": 5})", KEY_ABSENT, 0},
      {R"({"replay": 5})", KEY_ABSENT, 0},
      {R"({ply: 5})", KEY_ABSENT, 0},
      {R"({"ply": "5"})", KEY_NO_VALUE, 0},
      {R"({"ply": +5})", KEY_NO_VALUE, 0},
      {R"({"ply": [5]})", KEY_NO_VALUE, 0},
      {"{\"ply\":\n5}", KEY_NO_VALUE, 0},  // only spaces and tabs are skipped
      {R"({"ply": null})", KEY_NO_VALUE, 0},
  };
  for (const Case& c : cases) {
    std::int64_t value = 0;
    EXPECT_EQ(find_int_key(c.line, "ply", &value), c.expected) << c.line;
    if (c.expected == OK) {
      EXPECT_EQ(value, c.value) << c.line;
    }
  }
}

TEST(PlyLog, ListsOfFourIntegers) {
  struct Case {
    const char* value;
    bool ok;
    std::int64_t v[4];
  };
  const Case cases[] = {
      {"[1, 0, 0, 4]", true, {1, 0, 0, 4}},
      {"[1,0,0,4]", true, {1, 0, 0, 4}},
      {"[ 1 ,\t0 , 0 ,  4 ]", true, {1, 0, 0, 4}},
      {"[257, -1, 0, 300]", true, {257, -1, 0, 300}},
      {"[1-2, 0, 0, 0]", true, {1, 0, 0, 0}},  // one element: a run of digits and minus signs
      {"[--5, -, 0, 0]", true, {0, 0, 0, 0}},
      {"[1, 0, 0]", false, {}},
      {"[1, 0, 0, 4, 5]", false, {}},
      {"[1.5, 0, 0, 4]", false, {}},
      {"[\"1\", 0, 0, 4]", false, {}},
      {"1, 0, 0, 4]", false, {}},
      {"[1, 0, 0, 4", false, {}},
      {"[1,, 0, 4]", false, {}},
      {"[]", false, {}},
      {"\"[1, 0, 0, 4]\"", false, {}},
  };
  for (const Case& c : cases) {
    const std::string line = std::string(R"({"move_from": )") + c.value + R"(, "move_to": [7, 7, 7, 7]})";
    std::int64_t v[4] = {11, 12, 13, 14};
    const Result result = find_int_array4(line.c_str(), "move_from", v);
    EXPECT_EQ(result, c.ok ? OK : KEY_NO_VALUE) << line;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(v[k], c.ok ? c.v[k] : 11 + k) << line << " element " << k;
    // A broken move_from never hides move_to.
    std::int64_t to[4] = {};
    EXPECT_EQ(find_int_array4(line.c_str(), "move_to", to), OK) << line;
    EXPECT_EQ(to[3], 7);
  }
  std::int64_t v[4];
  EXPECT_EQ(find_int_array4(R"({"move_from" : [1, 0, 0, 4]})", "move_from", v), KEY_ABSENT);
}

TEST(PlyLog, Fen4Strings) {
  struct Case {
    const char* line;
    Result expected;
    const char* value;
  };
  const Case cases[] = {
      {R"({"fen4": "4d-fen v1: K@0,0,0,0"})", OK, "4d-fen v1: K@0,0,0,0"},
      {R"({"fen4":"abc"})", OK, "abc"},
      {"{\"fen4\":\t \"abc\"}", OK, "abc"},
      {R"({"fen4": ""})", OK, ""},
      {R"({"fen4": "a\"b"})", OK, "a\\"},  // no escapes: the quote ends the string
      {R"({"x": {"fen4": "inner"}, "fen4": "outer"})", OK, "inner"},
      {R"({"fen4": abc})", KEY_NO_VALUE, nullptr},
      {R"({"fen4": "unterminated)", KEY_NO_VALUE, nullptr},
      {R"({"fen4": 5})", KEY_NO_VALUE, nullptr},
      {R"({"fen4" : "x"})", KEY_ABSENT, nullptr},
      {R"({"FEN4": "x"})", KEY_ABSENT, nullptr},
      {"", KEY_ABSENT, nullptr},
  };
  for (const Case& c : cases) {
    const char* start = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(find_string_value(c.line, "fen4", &start, &length), c.expected) << c.line;
    if (c.expected == OK) {
      EXPECT_EQ(std::string(start, length), c.value) << c.line;
    }
  }
}

// Numbers for named keys: JSON's form, read to the nearest double; anything
// else leaves the value as it was.
TEST(PlyLog, NumberKeys) {
  const double INF = std::numeric_limits<double>::infinity();
  struct Case {
    const char* value;
    Result expected;
    double read;
  };
  const Case cases[] = {
      {"0.25", OK, 0.25},     {"-1", OK, -1},        {"1e3", OK, 1000},        {"2.5E-1", OK, 0.25},
      {"1e+2,", OK, 100},     {"007", OK, 7},        {"0.1}", OK, 0.1},        {"-0", OK, -0.0},
      {"1e999", OK, INF},     {"-1e999", OK, -INF},  {"1e-999", OK, 0},        {"1e400", OK, INF},
      {"\"0.5\"", KEY_NO_VALUE, 7}, {"null", KEY_NO_VALUE, 7}, {"+1", KEY_NO_VALUE, 7}, {".5", KEY_NO_VALUE, 7},
      {"1.", KEY_NO_VALUE, 7}, {"1e", KEY_NO_VALUE, 7}, {"-", KEY_NO_VALUE, 7}, {"NaN", KEY_NO_VALUE, 7},
      {"inf", KEY_NO_VALUE, 7}, {"0x10", OK, 0},
  };
  for (const Case& c : cases) {
    const std::string line = std::string(R"({"score": )") + c.value + "}";
    double value = 7;
    EXPECT_EQ(find_number_key(line.c_str(), "score", &value), c.expected) << line;
    EXPECT_EQ(value, c.read) << line;
    EXPECT_EQ(std::signbit(value), std::signbit(c.read)) << line;
  }
  const std::string long_zeros = R"({"score": 0.)" + std::string(400, '0') + "1}";
  double value = 7;
  EXPECT_EQ(find_number_key(long_zeros.c_str(), "score", &value), OK);
  EXPECT_EQ(value, 0.0);
  const std::string long_digits = R"({"score": -1)" + std::string(400, '0') + "}";
  EXPECT_EQ(find_number_key(long_digits.c_str(), "score", &value), OK);
  EXPECT_EQ(value, -INF);
  EXPECT_EQ(find_number_key(R"({"other": 1})", "score", &value), KEY_ABSENT);
}

struct ReadPosition {
  std::string fen4;
  PlyTrailer trailer;
  std::uint64_t line;
  bool operator==(const ReadPosition& o) const {
    return fen4 == o.fen4 && std::memcmp(&trailer, &o.trailer, sizeof trailer) == 0;
  }
};

struct ReadLog {
  std::vector<ReadPosition> positions;
  std::vector<std::int64_t> reported;  // lines reported as too long or not parsing
  std::vector<std::uint64_t> metadata;  // metadata lines, when asked for
  Failure failure;                     // how reading ended (END, or a failure)
};

// Reads `path` with `options` to its end or its first failure.
ReadLog read_log(const std::string& path, const PlyLogOptions& options = {}) {
  ReadLog log;
  PlyLogReader* reader = nullptr;
  EXPECT_EQ(ply_log_open(path.c_str(), options, &reader, &log.failure), OK) << path;
  auto board = std::make_unique<Board4D>();
  PlyTrailer trailer{};
  for (;;) {
    const Result read = ply_log_next(reader, board.get(), &trailer, &log.failure);
    if (read == OK) {
      log.positions.push_back({ply_log_fen4(reader), trailer, ply_log_line_number(reader)});
    } else if (read == PLY_LOG_TOO_LONG || read == PLY_LOG_BAD_FEN4) {
      EXPECT_EQ(log.failure.path, path);
      log.reported.push_back(log.failure.line);
    } else if (read == PLY_LOG_METADATA) {
      log.metadata.push_back(ply_log_line_number(reader));
    } else if (read != PAUSED) {
      log.failure.result = read;
      break;
    }
  }
  ply_log_close(reader);
  return log;
}

std::string ply_line(int k, bool with_ply) {
  std::string line = "{";
  if (with_ply) line += "\"ply\": " + std::to_string(100 + k) + ", ";
  return line + "\"fen4\": \"4d-fen v1: K@0,0,0," + std::to_string(k % 8) + "; q@7,7," + std::to_string(k / 8 % 8) +
         ",7\", \"move_to\": [" + std::to_string(k) + ", 0, 0, 1], \"flags\": 2}\n";
}

// A log with every kind of line: metadata, plies with and without a ply
// number, lines that do not parse, a line of NUL bytes, a line read in three
// pieces, and a last line without its newline.
std::string varied_log() {
  std::string log = "{\"bridge_version\": \"1.0\"}\n";
  for (int k = 0; k < 40; ++k) {
    log += ply_line(k, k % 3 != 0);
    if (k % 7 == 3) log += "{\"fen4\": \"4d-fen v1: K@9,0,0,0\"}\n";
    if (k == 11) log += std::string("{\"fen4\": \"4d-fen v1:\"}\0\0\0{\"fen4\": \"x\"}\n", 39);
    if (k == 20) {
      log += "{\"fen4\": \"4d-fen v1: K@1,1,1,1\", \"pad\": \"" + std::string(2 * LINE_BUF_SIZE, ' ') + "\"}\n";
    }
    if (k == 30) log += "\n\n{\"fen4\": \"" + std::string(FEN4_BUF_SIZE, ' ') + "\"}\n";
    if (k == 35) log += "{\"bridge_version\": \"1.0\", \"fen4\": \"4d-fen v1:\"}\n";
  }
  return log + ply_line(40, false).substr(0, ply_line(40, false).size() - 1);
}

test::Bytes bytes_of(const std::string& text) { return test::Bytes(text.begin(), text.end()); }

test::Bytes zstd_of(const test::Bytes& content) {
  test::Bytes out(ZSTD_compressBound(content.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3));
  return out;
}

class PlyLogReaderTest : public test::ScratchDirTest {
 protected:
  std::string write(const char* name, const test::Bytes& bytes) {
    test::write_bytes(path(name), bytes);
    return path(name);
  }
};

// Plain, gzip (one member or several, as bgzip and cat make them) and zstd
// give the same positions, trailers and reported lines as encode reads them.
TEST_F(PlyLogReaderTest, ReadsAsEncodeDoesInEveryForm) {
  const test::Bytes text = bytes_of(varied_log());
  const ReadLog whole = read_log(write("log.ndjson4", text));
  EXPECT_EQ(whole.failure.result, END);
  // 40 plies, the empty board before the NULs, the first piece of the long
  // line (it holds the whole fen4 string), the last line.
  ASSERT_EQ(whole.positions.size(), 43u);
  EXPECT_EQ(whole.reported.size(), 7u);  // 6 bad coordinates, 1 string too long
  // A ply without a number gets the count of positions before it.
  EXPECT_EQ(whole.positions[0].trailer.ply, 0u);
  EXPECT_EQ(whole.positions[1].trailer.ply, 101u);
  EXPECT_EQ(whole.positions[3].trailer.ply, 3u);
  EXPECT_EQ(whole.positions[13].trailer.ply, 13u);  // after the empty board of the NUL line
  EXPECT_EQ(whole.positions[13].trailer.move_to[0], 12);
  EXPECT_EQ(whole.positions[12].fen4, "4d-fen v1:");
  EXPECT_EQ(whole.positions[22].fen4, "4d-fen v1: K@1,1,1,1");
  EXPECT_EQ(whole.positions[22].trailer.ply, 22u);
  EXPECT_EQ(whole.positions.back().trailer.ply, 42u);
  EXPECT_EQ(whole.positions.back().trailer.flags, 2);
  EXPECT_EQ(whole.positions[0].line, 2u);

  const std::size_t half = text.size() / 2;
  test::Bytes two_members = test::gzip_whole(test::Bytes(text.begin(), text.begin() + half));
  const test::Bytes second = test::gzip_whole(test::Bytes(text.begin() + half, text.end()));
  two_members.insert(two_members.end(), second.begin(), second.end());
  for (const auto& [name, bytes] : {std::pair{"log.gz", test::gzip_whole(text)},
                                    std::pair{"log.members.gz", two_members}, std::pair{"log.zst", zstd_of(text)}}) {
    const ReadLog read = read_log(write(name, bytes));
    EXPECT_EQ(read.failure.result, END) << name;
    EXPECT_TRUE(read.positions == whole.positions) << name;
    EXPECT_EQ(read.reported, whole.reported) << name;
  }

  // Metadata lines come out when asked for, and only then.
  PlyLogOptions metadata;
  metadata.metadata = true;
  const ReadLog with_metadata = read_log(path("log.ndjson4"), metadata);
  EXPECT_EQ(with_metadata.metadata.size(), 2u);
  EXPECT_EQ(with_metadata.metadata[0], 1u);
  EXPECT_TRUE(with_metadata.positions == whole.positions);
  EXPECT_TRUE(whole.metadata.empty());
}

// However a file is cut into ranges, the ranges together give each position
// once, in order, with the trailers of the whole file.
TEST_F(PlyLogReaderTest, RangesShareAFileWithoutOverlap) {
  const std::string text = varied_log();
  const std::string log = write("log.ndjson4", bytes_of(text));
  const ReadLog whole = read_log(log);
  const auto size = static_cast<std::int64_t>(text.size());
  auto range = [&](std::int64_t begin, std::int64_t end) {
    PlyLogOptions options;
    options.begin = begin;
    options.end = end;
    return read_log(log, options);
  };
  for (const int n_ranges : {1, 2, 3, 7, 64, 500}) {
    ReadLog joined;
    for (int r = 0; r < n_ranges; ++r) {
      const ReadLog part = range(size * r / n_ranges, size * (r + 1) / n_ranges);
      EXPECT_EQ(part.failure.result, END);
      joined.positions.insert(joined.positions.end(), part.positions.begin(), part.positions.end());
      joined.reported.insert(joined.reported.end(), part.reported.begin(), part.reported.end());
    }
    EXPECT_EQ(joined.reported.size(), whole.reported.size()) << n_ranges << " ranges";
    EXPECT_TRUE(joined.positions == whole.positions) << n_ranges << " ranges";
  }
  // A range past the end, and an empty one, hold nothing.
  EXPECT_TRUE(range(size + 5, size + 9).positions.empty());
  EXPECT_TRUE(range(100, 100).positions.empty());
}

TEST_F(PlyLogReaderTest, RangesThatCannotBe) {
  PlyLogReader* reader = nullptr;
  Failure failure;
  PlyLogOptions backwards;
  backwards.begin = 5;
  backwards.end = 4;
  EXPECT_EQ(ply_log_open(path("x").c_str(), backwards, &reader, &failure), ERR_ARGUMENT);
  EXPECT_EQ(reader, nullptr);
  // Only a plain regular file can be read from the middle.
  PlyLogOptions middle;
  middle.begin = 3;
  const std::string zst = write("log.zst", zstd_of(bytes_of(ply_line(1, true))));
  EXPECT_EQ(read_log(zst, middle).failure.result, ERR_SEEK);
}

// Damaged and unreadable files are failures naming the file; reading stops there.
TEST_F(PlyLogReaderTest, DamagedFilesNameTheFile) {
  std::string text;
  for (int k = 0; k < 2000; ++k) text += ply_line(k, true);
  test::Bytes gz = test::gzip_whole(bytes_of(text));
  test::Bytes cut = gz, flipped = gz, zst = zstd_of(bytes_of(text));
  cut.resize(gz.size() / 2);
  flipped[gz.size() - 6] ^= 0x40;  // the length in the trailer
  zst.resize(zst.size() - 1);
  struct Case {
    const char* name;
    const test::Bytes& bytes;
    Result expected;
  };
  for (const Case& c : {Case{"cut.gz", cut, CODEC_ERR_CUT}, Case{"flipped.gz", flipped, CODEC_ERR_CHECK},
                        Case{"cut.zst", zst, CODEC_ERR_CUT}}) {
    const ReadLog read = read_log(write(c.name, c.bytes));
    EXPECT_EQ(read.failure.result, c.expected) << c.name;
    EXPECT_EQ(read.failure.path, path(c.name));
  }
  const ReadLog directory = read_log(dir_);
  EXPECT_EQ(directory.failure.result, ERR_READ);
  EXPECT_EQ(directory.failure.error_number, EISDIR);
  PlyLogReader* reader = nullptr;
  Failure failure;
  EXPECT_EQ(ply_log_open(path("missing").c_str(), PlyLogOptions{}, &reader, &failure), ERR_OPEN);
  EXPECT_EQ(failure.error_number, ENOENT);
  EXPECT_EQ(failure.path, path("missing"));
}

// A reader never keeps its caller from signals: endless lines without a
// position pause every so often, and a FIFO that waits for its writer opens
// at once and gives way to a signal.
TEST_F(PlyLogReaderTest, LongWaitsGiveWayToSignals) {
  PlyLogReader* reader = nullptr;
  Failure failure;
  auto board = std::make_unique<Board4D>();
  PlyTrailer trailer;
  ASSERT_EQ(ply_log_open("/dev/zero", PlyLogOptions{}, &reader, &failure), OK);
  EXPECT_EQ(ply_log_next(reader, board.get(), &trailer, &failure), PAUSED);
  EXPECT_EQ(ply_log_next(reader, board.get(), &trailer, &failure), PAUSED);
  ply_log_close(reader);

  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(ply_log_open(path("fifo").c_str(), PlyLogOptions{}, &reader, &failure), OK);
  // A handler without SA_RESTART, as an interpreter installs, and an alarm.
  struct sigaction action{}, previous{};
  action.sa_handler = [](int) {};
  sigaction(SIGALRM, &action, &previous);
  itimerval soon{};
  soon.it_value.tv_usec = 100000;
  setitimer(ITIMER_REAL, &soon, nullptr);
  EXPECT_EQ(ply_log_next(reader, board.get(), &trailer, &failure), PAUSED);
  sigaction(SIGALRM, &previous, nullptr);
  // A writer that comes later is read.
  std::FILE* writer = std::fopen(path("fifo").c_str(), "w");
  ASSERT_NE(writer, nullptr);
  std::fputs(ply_line(3, true).c_str(), writer);
  std::fclose(writer);
  EXPECT_EQ(ply_log_next(reader, board.get(), &trailer, &failure), OK);
  EXPECT_EQ(trailer.ply, 103u);
  EXPECT_EQ(ply_log_next(reader, board.get(), &trailer, &failure), END);
  ply_log_close(reader);
}

}  // namespace
}  // namespace q4d
