#include "position/key_scan.h"

#include <cstdio>
#include <cstring>

namespace q4d {

const char* skip_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

int find_key(const char* line, const char* key, const char** value) {
  if (line == nullptr || key == nullptr || value == nullptr) return KEY_ERR_NULL;
  char pattern[64];
  const int n = std::snprintf(pattern, sizeof pattern, "\"%s\":", key);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof pattern) return KEY_ERR_NULL;
  const char* hit = std::strstr(line, pattern);
  if (hit == nullptr) return KEY_ABSENT;
  *value = skip_blanks(hit + n);
  return KEY_OK;
}

int find_string_value(const char* line, const char* key, const char** start, std::size_t* length) {
  if (start == nullptr || length == nullptr) return KEY_ERR_NULL;
  const char* p = nullptr;
  const int found = find_key(line, key, &p);
  if (found != KEY_OK) return found;
  if (*p != '"') return KEY_NO_VALUE;
  const char* close = std::strchr(p + 1, '"');
  if (close == nullptr) return KEY_NO_VALUE;
  *start = p + 1;
  *length = static_cast<std::size_t>(close - (p + 1));
  return KEY_OK;
}

}  // namespace q4d
