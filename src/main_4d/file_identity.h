// Refusing an output that is the input under another name: opening the
// output for writing would truncate the input before it is read.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace q4d {

// True when `path` names an existing file with the device and inode of
// `input` (a hard link, a symbolic link or the same name).
inline bool path_is_same_file(const char* path, const struct stat& input) {
  struct stat out;
  return stat(path, &out) == 0 && out.st_dev == input.st_dev && out.st_ino == input.st_ino;
}

// The same test against an input path, or standard input for "-".
inline bool path_is_input(const char* path, const char* input) {
  struct stat in;
  const bool from_stdin = std::strcmp(input, "-") == 0;
  return (from_stdin ? fstat(STDIN_FILENO, &in) : stat(input, &in)) == 0 && path_is_same_file(path, in);
}

}  // namespace q4d
