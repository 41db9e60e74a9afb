#include "position/key_scan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace q4d {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

const char* skip_digits(const char* p) {
  while (is_digit(*p)) ++p;
  return p;
}

// The end of the number at p (see find_number_key), or null when none starts there.
const char* number_end(const char* p) {
  if (*p == '-') ++p;
  if (!is_digit(*p)) return nullptr;
  p = skip_digits(p);
  if (*p == '.') {
    if (!is_digit(p[1])) return nullptr;
    p = skip_digits(p + 1);
  }
  if (*p == 'e' || *p == 'E') {
    const char* exponent = p + 1;
    if (*exponent == '+' || *exponent == '-') ++exponent;
    if (!is_digit(*exponent)) return nullptr;
    p = skip_digits(exponent);
  }
  return p;
}

// A number beyond a double's range: an infinity of its sign when its
// decimal exponent (the digits before the point, or minus the zeros after
// it, plus the written exponent) is positive, else a zero of its sign.
double out_of_range(const char* begin, const char* end) {
  const bool negative = *begin == '-';
  const char* exponent = begin;
  while (exponent < end && *exponent != 'e' && *exponent != 'E') ++exponent;
  const char* point = std::find(begin, exponent, '.');
  const char* first = negative ? begin + 1 : begin;  // the first significant digit
  while (first < exponent && (*first == '0' || *first == '.')) ++first;
  std::int64_t magnitude = first < point ? point - first : -(first - point);
  if (exponent < end) {
    std::int64_t written = 0;
    ndjson4_parse_integer(exponent[1] == '+' ? exponent + 2 : exponent + 1, &written);
    magnitude = written > 0 ? (magnitude > 0 || written > INT64_MAX / 2 ? 1 : magnitude + written)
                            : (magnitude <= 0 || written < INT64_MIN / 2 ? 0 : magnitude + written);
  }
  const double value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -value : value;
}

}  // namespace

const char* skip_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

Result find_key(const char* line, const char* key, const char** value) {
  if (line == nullptr || key == nullptr || value == nullptr) return ERR_NULL;
  char pattern[64];  // "key":
  const std::size_t n = std::strlen(key);
  if (n + 4 > sizeof pattern) return ERR_NULL;
  pattern[0] = '"';
  std::memcpy(pattern + 1, key, n);
  std::memcpy(pattern + n + 1, "\":", 3);
  // The first occurrence of the pattern, which starts with a quote: found by
  // hopping from quote to quote, so that a long value without quotes (a FEN4
  // text) is passed over at the speed of strchr.
  for (const char* hit = std::strchr(line, '"'); hit != nullptr; hit = std::strchr(hit + 1, '"')) {
    if (std::strncmp(hit + 1, pattern + 1, n + 2) == 0) {
      *value = skip_blanks(hit + n + 3);
      return OK;
    }
  }
  return KEY_ABSENT;
}

Result find_string_value(const char* line, const char* key, const char** start, std::size_t* length) {
  if (start == nullptr || length == nullptr) return ERR_NULL;
  const char* p = nullptr;
  const Result found = find_key(line, key, &p);
  if (found != OK) return found;
  if (*p != '"') return KEY_NO_VALUE;
  const char* close = std::strchr(p + 1, '"');
  if (close == nullptr) return KEY_NO_VALUE;
  *start = p + 1;
  *length = static_cast<std::size_t>(close - (p + 1));
  return OK;
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

Result find_int_key(const char* line, const char* key, std::int64_t* value) {
  if (value == nullptr) return ERR_NULL;
  const char* p = nullptr;
  const Result found = find_key(line, key, &p);
  if (found != OK) return found;
  if (*p != '-' && !is_digit(*p)) return KEY_NO_VALUE;
  ndjson4_parse_integer(p, value);
  return OK;
}

Result find_int_array4(const char* line, const char* key, std::int64_t values[4]) {
  if (values == nullptr) return ERR_NULL;
  const char* p = nullptr;
  const Result found = find_key(line, key, &p);
  if (found != OK) return found;
  if (*p++ != '[') return KEY_NO_VALUE;
  std::int64_t read[4];
  for (int k = 0; k < 4; ++k) {
    p = skip_blanks(p);
    if (*p != '-' && !is_digit(*p)) return KEY_NO_VALUE;
    ndjson4_parse_integer(p, &read[k]);
    while (*p == '-' || is_digit(*p)) ++p;  // "1-2" is one element, read as 1
    p = skip_blanks(p);
    if (*p++ != (k < 3 ? ',' : ']')) return KEY_NO_VALUE;
  }
  std::memcpy(values, read, sizeof read);
  return OK;
}

Result find_number_key(const char* line, const char* key, double* value) {
  if (value == nullptr) return ERR_NULL;
  const char* p = nullptr;
  const Result found = find_key(line, key, &p);
  if (found != OK) return found;
  const char* end = number_end(p);
  if (end == nullptr) return KEY_NO_VALUE;
  // from_chars reads no sign of its own but "-", and no locale.
  double read = 0;
  const std::from_chars_result parsed = std::from_chars(p, end, read, std::chars_format::general);
  if (parsed.ec == std::errc::result_out_of_range) {
    read = out_of_range(p, end);
  } else if (parsed.ec != std::errc{} || parsed.ptr != end) {
    return KEY_NO_VALUE;
  }
  *value = read;
  return OK;
}

}  // namespace q4d
