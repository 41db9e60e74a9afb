// Option scanning shared by the command handlers.
//
// Options are matched exactly while scanning left to right. A valued option
// takes the next argument whatever it looks like, but only when one exists;
// otherwise the option word counts as an unrecognised argument. A later
// occurrence overrides an earlier one.
#pragma once

#include <cstring>

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

}  // namespace q4d
