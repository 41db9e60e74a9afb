#include "position/ply_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "position/key_scan.h"

namespace q4d {
namespace {

TEST(PlyLog, IntegerKeys) {
  struct Case {
    const char* line;
    int expected;
    std::int64_t value;
  };
  const Case cases[] = {
      {R"({"ply": 5})", KEY_OK, 5},
      {R"({"ply":5})", KEY_OK, 5},
      {"{\"ply\": \t 7}", KEY_OK, 7},
      {R"({"ply": -3})", KEY_OK, -3},
      {R"({"ply": 1.5})", KEY_OK, 1},
      {R"({"ply": -})", KEY_OK, 0},
      {R"({"ply": --4})", KEY_OK, 0},
      {R"({"ply": 007})", KEY_OK, 7},
      {R"({"ply": 9223372036854775807})", KEY_OK, INT64_MAX},
      {R"({"ply": 99999999999999999999})", KEY_OK, INT64_MAX},
      {R"({"ply": -9223372036854775808})", KEY_OK, INT64_MIN},
      {R"({"ply": -99999999999999999999})", KEY_OK, INT64_MIN},
      {R"({"meta": {"ply": 9}, "ply": 3})", KEY_OK, 9},  // first occurrence, even nested
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
    if (c.expected == KEY_OK) {
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
    const int result = find_int_array4(line.c_str(), "move_from", v);
    EXPECT_EQ(result, c.ok ? KEY_OK : KEY_NO_VALUE) << line;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(v[k], c.ok ? c.v[k] : 11 + k) << line << " element " << k;
    // A broken move_from never hides move_to.
    std::int64_t to[4] = {};
    EXPECT_EQ(find_int_array4(line.c_str(), "move_to", to), KEY_OK) << line;
    EXPECT_EQ(to[3], 7);
  }
  std::int64_t v[4];
  EXPECT_EQ(find_int_array4(R"({"move_from" : [1, 0, 0, 4]})", "move_from", v), KEY_ABSENT);
}

TEST(PlyLog, Fen4Strings) {
  struct Case {
    const char* line;
    int expected;
    const char* value;
  };
  const Case cases[] = {
      {R"({"fen4": "4d-fen v1: K@0,0,0,0"})", KEY_OK, "4d-fen v1: K@0,0,0,0"},
      {R"({"fen4":"abc"})", KEY_OK, "abc"},
      {"{\"fen4\":\t \"abc\"}", KEY_OK, "abc"},
      {R"({"fen4": ""})", KEY_OK, ""},
      {R"({"fen4": "a\"b"})", KEY_OK, "a\\"},  // no escapes: the quote ends the string
      {R"({"x": {"fen4": "inner"}, "fen4": "outer"})", KEY_OK, "inner"},
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
    if (c.expected == KEY_OK) {
      EXPECT_EQ(std::string(start, length), c.value) << c.line;
    }
  }
}

struct ReadPosition {
  std::string fen4;
  PlyTrailer trailer;
  bool operator==(const ReadPosition& o) const {
    return fen4 == o.fen4 && std::memcmp(&trailer, &o.trailer, sizeof trailer) == 0;
  }
};

struct ReadLog {
  std::vector<ReadPosition> positions;
  int reported = 0;  // lines reported as too long or not parsing
};

// Reads `stream` from its start, limited to [begin, end) unless end is -2.
ReadLog read_log(std::FILE* stream, std::int64_t begin, std::int64_t end) {
  std::rewind(stream);
  ReadLog log;
  PlyLogReader reader;
  EXPECT_EQ(ply_log_open(&reader, stream), PLY_LOG_OK);
  if (end != -2) {
    EXPECT_EQ(ply_log_set_range(&reader, begin, end), PLY_LOG_OK);
  }
  auto board = std::make_unique<Board4D>();
  PlyTrailer trailer{};
  for (;;) {
    const int read = ply_log_next(&reader, board.get(), &trailer);
    if (read == PLY_LOG_END) break;
    if (read == PLY_LOG_OK) {
      log.positions.push_back({reader.fen4, trailer});
    } else {
      EXPECT_TRUE(read == PLY_LOG_TOO_LONG || read == PLY_LOG_BAD_FEN4) << read;
      ++log.reported;
    }
  }
  ply_log_close(&reader);
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
    if (k == 20) log += "{\"fen4\": \"4d-fen v1: K@1,1,1,1\", \"pad\": \"" + std::string(2 * LINE_BUF_SIZE, ' ') + "\"}\n";
    if (k == 30) log += "\n\n{\"fen4\": \"" + std::string(FEN4_BUF_SIZE, ' ') + "\"}\n";
  }
  return log + ply_line(40, false).substr(0, ply_line(40, false).size() - 1);
}

std::FILE* file_of(const std::string& text) {
  std::FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fflush(f);
  return f;
}

TEST(PlyLogReader, ReadsAsEncodeDoes) {
  std::FILE* f = file_of(varied_log());
  const ReadLog whole = read_log(f, 0, -2);
  // 40 plies, the empty board before the NULs, the first piece of the long
  // line (it holds the whole fen4 string), the last line.
  ASSERT_EQ(whole.positions.size(), 43u);
  EXPECT_EQ(whole.reported, 7);  // 6 bad coordinates, 1 string too long
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
  std::fclose(f);
}

// However a file is cut into ranges, the ranges together give each position
// once, in order, with the trailers of the whole file.
TEST(PlyLogReader, RangesShareAFileWithoutOverlap) {
  const std::string text = varied_log();
  std::FILE* f = file_of(text);
  const ReadLog whole = read_log(f, 0, -2);
  const auto size = static_cast<std::int64_t>(text.size());
  for (const int n_ranges : {1, 2, 3, 7, 64, 500}) {
    ReadLog joined;
    for (int r = 0; r < n_ranges; ++r) {
      const ReadLog part = read_log(f, size * r / n_ranges, size * (r + 1) / n_ranges);
      joined.positions.insert(joined.positions.end(), part.positions.begin(), part.positions.end());
      joined.reported += part.reported;
    }
    EXPECT_EQ(joined.reported, whole.reported) << n_ranges << " ranges";
    EXPECT_TRUE(joined.positions == whole.positions) << n_ranges << " ranges";
  }
  // A range past the end, and an empty one, hold nothing.
  EXPECT_TRUE(read_log(f, size + 5, size + 9).positions.empty());
  EXPECT_TRUE(read_log(f, 100, 100).positions.empty());
  std::fclose(f);
}

TEST(PlyLogReader, RangesThatCannotBe) {
  PlyLogReader reader;
  ASSERT_EQ(ply_log_open(&reader, stdin), PLY_LOG_OK);
  EXPECT_EQ(ply_log_set_range(&reader, 5, 4), PLY_LOG_ERR_RANGE);
  EXPECT_EQ(ply_log_set_range(&reader, -1, 4), PLY_LOG_ERR_RANGE);
  ply_log_close(&reader);
  ply_log_close(&reader);  // twice is harmless
}

}  // namespace
}  // namespace q4d
