#include "main_4d/ndjson4.h"

#include <cstdio>
#include <cstring>

#include "position/fen4.h"

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

namespace {

void read_trailer(const char* line, std::uint32_t frames_written, PlyTrailer* t) {
  *t = PlyTrailer{};
  std::int64_t value = 0;
  std::int64_t square[4];
  const bool has_ply = find_int_key(line, "ply", &value) == NDJSON4_OK && value >= 0;
  t->ply = static_cast<std::uint32_t>(has_ply ? value : frames_written);
  if (find_int_array4(line, "move_from", square) == NDJSON4_OK) {
    for (int k = 0; k < 4; ++k) t->move_from[k] = static_cast<std::uint8_t>(square[k]);
  }
  if (find_int_array4(line, "move_to", square) == NDJSON4_OK) {
    for (int k = 0; k < 4; ++k) t->move_to[k] = static_cast<std::uint8_t>(square[k]);
  }
  if (find_int_key(line, "promo", &value) == NDJSON4_OK) t->promo = static_cast<std::uint8_t>(value);
  if (find_int_key(line, "flags", &value) == NDJSON4_OK) t->flags = static_cast<std::uint8_t>(value);
}

}  // namespace

int read_ply_line(const char* line, std::uint32_t frames_written, char* fen4_buf, Board4D* board,
                  PlyTrailer* trailer, int* fen4_error) {
  if (line == nullptr || fen4_buf == nullptr || board == nullptr || trailer == nullptr || fen4_error == nullptr) {
    return PLY_LINE_ERR_NULL;
  }
  if (std::strstr(line, "bridge_version") != nullptr) return PLY_LINE_SKIPPED;  // metadata line
  const char* text = nullptr;
  std::size_t length = 0;
  if (ndjson4_find_string(line, "fen4", &text, &length) != NDJSON4_OK) return PLY_LINE_SKIPPED;
  if (length >= FEN4_BUF_SIZE) return PLY_LINE_TOO_LONG;
  std::memcpy(fen4_buf, text, length);
  fen4_buf[length] = '\0';
  *fen4_error = parse_fen4(fen4_buf, board);
  if (*fen4_error != FEN4_OK) return PLY_LINE_BAD_FEN4;
  read_trailer(line, frames_written, trailer);
  return PLY_LINE_OK;
}

}  // namespace q4d
