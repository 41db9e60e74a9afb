#include "position/ply_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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

TEST(PlyLog, AbsentArguments) {
  std::int64_t value = 0, v[4];
  const char* start = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(find_int_key(nullptr, "ply", &value), KEY_ERR_NULL);
  EXPECT_EQ(find_int_key("{}", nullptr, &value), KEY_ERR_NULL);
  EXPECT_EQ(find_int_key("{}", "ply", nullptr), KEY_ERR_NULL);
  EXPECT_EQ(find_int_array4("{}", "move_to", nullptr), KEY_ERR_NULL);
  EXPECT_EQ(find_int_array4(nullptr, "move_to", v), KEY_ERR_NULL);
  EXPECT_EQ(find_string_value("{}", "fen4", nullptr, &length), KEY_ERR_NULL);
  EXPECT_EQ(find_string_value("{}", "fen4", &start, nullptr), KEY_ERR_NULL);
  const std::string long_key(100, 'k');
  EXPECT_EQ(find_int_key("{}", long_key.c_str(), &value), KEY_ERR_NULL);
}

}  // namespace
}  // namespace q4d
