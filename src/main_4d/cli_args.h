// Option scanning shared by the command handlers.
//
// Options are matched exactly while scanning left to right. A valued option
// takes the next argument whatever it looks like, but only when one exists;
// otherwise the option word counts as an unrecognised argument. A later
// occurrence overrides an earlier one.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "frames/container_file.h"

namespace q4d {

// True when `arg` is spelled `name` or `alias` (alias may be null).
inline bool arg_is(const char* arg, const char* name, const char* alias = nullptr) {
  return std::strcmp(arg, name) == 0 || (alias != nullptr && std::strcmp(arg, alias) == 0);
}

// If argv[*i] is the valued option `name`/`alias` and a value follows it,
// stores the value, moves *i onto it and returns true.
inline bool take_option_value(int argc, char** argv, int* i, const char* name, const char* alias,
                              const char** value) {
  if (*i + 1 >= argc || !arg_is(argv[*i], name, alias)) return false;
  *i += 1;
  *value = argv[*i];
  return true;
}

// If argv[*i] is the valued option `name`/`alias`, given as `name VALUE` or,
// for a long name, `--name=VALUE` in one argument: returns true with *value
// the value, or null when the option is the last argument (which the caller
// refuses), moving *i past what it took.
inline bool take_option_value_or_none(int argc, char** argv, int* i, const char* name, const char* alias,
                                      const char** value) {
  const char* arg = argv[*i];
  for (const char* spelling : {name, alias}) {
    if (spelling == nullptr || std::strncmp(spelling, "--", 2) != 0) continue;
    const std::size_t n = std::strlen(spelling);
    if (std::strncmp(arg, spelling, n) == 0 && arg[n] == '=') {
      *value = arg + n + 1;
      return true;
    }
  }
  if (!arg_is(arg, name, alias)) return false;
  *value = *i + 1 < argc ? argv[++*i] : nullptr;
  return true;
}

// True when `arg` is `name` alone or `name=VALUE` (one argument, as in
// --zstd=9); *value is then VALUE, or null for the bare name.
inline bool take_option_suffix(const char* arg, const char* name, const char** value) {
  const std::size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || (arg[n] != '\0' && arg[n] != '=')) return false;
  *value = arg[n] == '=' ? arg + n + 1 : nullptr;
  return true;
}

// Reads `text` as a whole decimal number from min to max, nothing before or
// after it; false for anything else.
inline bool parse_number(const char* text, int min, int max, int* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = static_cast<int>(v);
  return true;
}

// -z/--compress and --zstd[=LEVEL] choose the codec; the last one given
// wins. *zstd_level keeps the LEVEL text of the last --zstd (null for none),
// for the handler to check once the codec is settled.
inline bool take_codec_option(const char* arg, ContainerWriteOptions* options, const char** zstd_level) {
  if (arg_is(arg, "-z", "--compress")) {
    options->codec = CODEC_GZIP;
    return true;
  }
  if (!take_option_suffix(arg, "--zstd", zstd_level)) return false;
  options->codec = CODEC_ZSTD;
  return true;
}

// Sets the zstd level from LEVEL (null: the default stays); false when LEVEL
// is no whole number in the levels' range.
inline bool apply_zstd_level(const char* text, ContainerWriteOptions* options) {
  if (text == nullptr) return true;
  return parse_number(text, ZSTD_LEVEL_MIN, ZSTD_LEVEL_MAX, &options->zstd_level);
}

}  // namespace q4d
