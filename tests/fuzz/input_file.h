// For fuzz targets that read files: the input written to a file of its own,
// and a count of the process's open descriptors, to find streams left open
// (the sanitizers do not see a FILE that is never closed).
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace q4d::fuzz {

// One input file per process, removed at exit.
struct InputFile {
  std::string path;
  explicit InputFile(const char* prefix) {
    path = (std::filesystem::temp_directory_path() / (std::string(prefix) + "_XXXXXX")).string();
    const int fd = mkstemp(path.data());
    if (fd < 0) std::abort();
    close(fd);
  }
  ~InputFile() { std::remove(path.c_str()); }

  void write(const std::uint8_t* data, std::size_t size) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
  }
};

inline int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) std::abort();
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

}  // namespace q4d::fuzz
