#include "main_4d/ndjson4.h"

#include <cstdio>
#include <cstring>

namespace q4d {
namespace {

constexpr std::size_t PATTERN_SIZE = 64;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char* skip_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

// Points *value at the first byte after "key": and any spaces and tabs.
int locate(const char* line, const char* key, const char** value) {
  if (line == nullptr || key == nullptr) return NDJSON4_ERR_NULL;
  char pattern[PATTERN_SIZE];
  const int n = std::snprintf(pattern, sizeof pattern, "\"%s\":", key);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof pattern) return NDJSON4_ERR_NULL;
  const char* hit = std::strstr(line, pattern);
  if (hit == nullptr) return NDJSON4_ERR_NO_KEY;
  *value = skip_blanks(hit + n);
  return NDJSON4_OK;
}

}  // namespace

int ndjson4_find_string(const char* line, const char* key, const char** start, std::size_t* length) {
  if (start == nullptr || length == nullptr) return NDJSON4_ERR_NULL;
  const char* p = nullptr;
  const int found = locate(line, key, &p);
  if (found != NDJSON4_OK) return found;
  if (*p != '"') return NDJSON4_ERR_NO_VALUE;
  const char* close = std::strchr(p + 1, '"');
  if (close == nullptr) return NDJSON4_ERR_NO_VALUE;
  *start = p + 1;
  *length = static_cast<std::size_t>(close - (p + 1));
  return NDJSON4_OK;
}

const char* ndjson4_parse_integer(const char* text, std::int64_t* value) {
  constexpr std::uint64_t POS_LIMIT = INT64_MAX;
  constexpr std::uint64_t NEG_LIMIT = POS_LIMIT + 1;
  const bool negative = *text == '-';
  if (negative) ++text;
  std::uint64_t magnitude = 0;
  for (; is_digit(*text); ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    // Saturate instead of wrapping; NEG_LIMIT bounds both signs here.
    magnitude = magnitude > (NEG_LIMIT - digit) / 10 ? NEG_LIMIT : magnitude * 10 + digit;
  }
  if (negative) {
    *value = magnitude >= NEG_LIMIT ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  } else {
    *value = magnitude > POS_LIMIT ? INT64_MAX : static_cast<std::int64_t>(magnitude);
  }
  return text;
}

int find_int_key(const char* line, const char* key, std::int64_t* value) {
  if (value == nullptr) return NDJSON4_ERR_NULL;
  const char* p = nullptr;
  const int found = locate(line, key, &p);
  if (found != NDJSON4_OK) return found;
  if (*p != '-' && !is_digit(*p)) return NDJSON4_ERR_NO_VALUE;
  ndjson4_parse_integer(p, value);
  return NDJSON4_OK;
}

int find_int_array4(const char* line, const char* key, std::int64_t values[4]) {
  if (values == nullptr) return NDJSON4_ERR_NULL;
  const char* p = nullptr;
  const int found = locate(line, key, &p);
  if (found != NDJSON4_OK) return found;
  if (*p++ != '[') return NDJSON4_ERR_NO_VALUE;
  std::int64_t read[4];
  for (int k = 0; k < 4; ++k) {
    p = skip_blanks(p);
    if (*p != '-' && !is_digit(*p)) return NDJSON4_ERR_NO_VALUE;
    ndjson4_parse_integer(p, &read[k]);
    while (*p == '-' || is_digit(*p)) ++p;  // "1-2" is one element, read as 1
    p = skip_blanks(p);
    if (*p++ != (k < 3 ? ',' : ']')) return NDJSON4_ERR_NO_VALUE;
  }
  std::memcpy(values, read, sizeof read);
  return NDJSON4_OK;
}

}  // namespace q4d
