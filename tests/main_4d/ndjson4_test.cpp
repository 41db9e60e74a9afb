#include "main_4d/ndjson4.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace q4d {
namespace {

TEST(Ndjson4, IntegerKeys) {
  struct Case {
    const char* line;
    int expected;
    std::int64_t value;
  };
  const Case cases[] = {
      {R"({"ply": 5})", NDJSON4_OK, 5},
      {R"({"ply":5})", NDJSON4_OK, 5},
      {"{\"ply\": \t 7}", NDJSON4_OK, 7},
      {R"({"ply": -3})", NDJSON4_OK, -3},
      {R"({"ply": 1.5})", NDJSON4_OK, 1},
      {R"({"ply": -})", NDJSON4_OK, 0},
      {R"({"ply": --4})", NDJSON4_OK, 0},
      {R"({"ply": 007})", NDJSON4_OK, 7},
      {R"({"ply": 9223372036854775807})", NDJSON4_OK, INT64_MAX},
      {R"({"ply": 99999999999999999999})", NDJSON4_OK, INT64_MAX},
      {R"({"ply": -9223372036854775808})", NDJSON4_OK, INT64_MIN},
      {R"({"ply": -99999999999999999999})", NDJSON4_OK, INT64_MIN},
      {R"({"meta": {"ply": 9}, "ply": 3})", NDJSON4_OK, 9},  // first occurrence, even nested
      {R"({"ply" : 5})", NDJSON4_ERR_NO_KEY, 0},              // no space before the colon
      {R"({"PLY": 5})", NDJSON4_ERR_NO_KEY, 0},
      {R"({"replay": 5})", NDJSON4_ERR_NO_KEY, 0},
      {R"({ply: 5})", NDJSON4_ERR_NO_KEY, 0},
      {R"({"ply": "5"})", NDJSON4_ERR_NO_VALUE, 0},
      {R"({"ply": +5})", NDJSON4_ERR_NO_VALUE, 0},
      {R"({"ply": [5]})", NDJSON4_ERR_NO_VALUE, 0},
      {"{\"ply\":\n5}", NDJSON4_ERR_NO_VALUE, 0},  // only spaces and tabs are skipped
      {R"({"ply": null})", NDJSON4_ERR_NO_VALUE, 0},
  };
  for (const Case& c : cases) {
    std::int64_t value = 0;
    EXPECT_EQ(find_int_key(c.line, "ply", &value), c.expected) << c.line;
    if (c.expected == NDJSON4_OK) {
      EXPECT_EQ(value, c.value) << c.line;
    }
  }
}

TEST(Ndjson4, ListsOfFourIntegers) {
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
    EXPECT_EQ(result, c.ok ? NDJSON4_OK : NDJSON4_ERR_NO_VALUE) << line;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(v[k], c.ok ? c.v[k] : 11 + k) << line << " element " << k;
    // A broken move_from never hides move_to.
    std::int64_t to[4] = {};
    EXPECT_EQ(find_int_array4(line.c_str(), "move_to", to), NDJSON4_OK) << line;
    EXPECT_EQ(to[3], 7);
  }
  std::int64_t v[4];
  EXPECT_EQ(find_int_array4(R"({"move_from" : [1, 0, 0, 4]})", "move_from", v), NDJSON4_ERR_NO_KEY);
}

TEST(Ndjson4, Fen4Strings) {
  struct Case {
    const char* line;
    int expected;
    const char* value;
  };
  const Case cases[] = {
      {R"({"fen4": "4d-fen v1: K@0,0,0,0"})", NDJSON4_OK, "4d-fen v1: K@0,0,0,0"},
      {R"({"fen4":"abc"})", NDJSON4_OK, "abc"},
      {"{\"fen4\":\t \"abc\"}", NDJSON4_OK, "abc"},
      {R"({"fen4": ""})", NDJSON4_OK, ""},
      {R"({"fen4": "a\"b"})", NDJSON4_OK, "a\\"},  // no escapes: the quote ends the string
      {R"({"x": {"fen4": "inner"}, "fen4": "outer"})", NDJSON4_OK, "inner"},
      {R"({"fen4": abc})", NDJSON4_ERR_NO_VALUE, nullptr},
      {R"({"fen4": "unterminated)", NDJSON4_ERR_NO_VALUE, nullptr},
      {R"({"fen4": 5})", NDJSON4_ERR_NO_VALUE, nullptr},
      {R"({"fen4" : "x"})", NDJSON4_ERR_NO_KEY, nullptr},
      {R"({"FEN4": "x"})", NDJSON4_ERR_NO_KEY, nullptr},
      {"", NDJSON4_ERR_NO_KEY, nullptr},
  };
  for (const Case& c : cases) {
    const char* start = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(ndjson4_find_string(c.line, "fen4", &start, &length), c.expected) << c.line;
    if (c.expected == NDJSON4_OK) {
      EXPECT_EQ(std::string(start, length), c.value) << c.line;
    }
  }
}

TEST(Ndjson4, AbsentArguments) {
  std::int64_t value = 0, v[4];
  const char* start = nullptr;
  std::size_t length = 0;
  EXPECT_EQ(find_int_key(nullptr, "ply", &value), NDJSON4_ERR_NULL);
  EXPECT_EQ(find_int_key("{}", nullptr, &value), NDJSON4_ERR_NULL);
  EXPECT_EQ(find_int_key("{}", "ply", nullptr), NDJSON4_ERR_NULL);
  EXPECT_EQ(find_int_array4("{}", "move_to", nullptr), NDJSON4_ERR_NULL);
  EXPECT_EQ(find_int_array4(nullptr, "move_to", v), NDJSON4_ERR_NULL);
  EXPECT_EQ(ndjson4_find_string("{}", "fen4", nullptr, &length), NDJSON4_ERR_NULL);
  EXPECT_EQ(ndjson4_find_string("{}", "fen4", &start, nullptr), NDJSON4_ERR_NULL);
  const std::string long_key(100, 'k');
  EXPECT_EQ(find_int_key("{}", long_key.c_str(), &value), NDJSON4_ERR_NULL);
}

}  // namespace
}  // namespace q4d
