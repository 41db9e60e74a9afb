// Refusing an output that is the input under another name: opening the
// output for writing would truncate the input before it is read.
#pragma once

#include <sys/stat.h>

#include <cstdio>

namespace q4d {

// True when `path` names an existing file with the device and inode of
// `input` (a hard link, a symbolic link or the same name).
inline bool path_is_same_file(const char* path, const struct stat& input) {
  struct stat out;
  return stat(path, &out) == 0 && out.st_dev == input.st_dev && out.st_ino == input.st_ino;
}

// The same test against an open input stream (standard input included).
inline bool path_is_stream_file(const char* path, std::FILE* input) {
  struct stat in;
  return fstat(fileno(input), &in) == 0 && path_is_same_file(path, in);
}

}  // namespace q4d
