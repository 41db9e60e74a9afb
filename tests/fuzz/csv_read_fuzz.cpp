// Fuzz target: the read path of `csv` on an arbitrary file.
//
// The input is written to a file and read as the command reads it:
// gzip_open_read (plain, or gzip inflated into a temporary file), header_read
// with the frame-size check, then frame_read and the row of statistics for
// every frame the header claims, until a read fails. Besides the sanitizers'
// checks: every row fits the command's row buffer, whatever the frame's bits
// (a row that did not fit would be dropped from the report); and no stream
// stays open afterwards (the sanitizers do not see a FILE that is never
// closed, but a long-running caller would run out of descriptors).
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "frames/container.h"
#include "frames/gzip.h"
#include "main_4d/csv_report.h"

namespace {

// One input file per process, removed at exit.
struct InputFile {
  std::string path;
  InputFile() {
    path = (std::filesystem::temp_directory_path() / "q4d_csv_fuzz_XXXXXX").string();
    const int fd = mkstemp(path.data());
    if (fd < 0) std::abort();
    close(fd);
  }
  ~InputFile() { std::remove(path.c_str()); }
};

void write_input(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) std::abort();
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

void read_as_csv_does(const char* path) {
  std::FILE* in = nullptr;
  if (q4d::gzip_open_read(path, &in) != q4d::GZIP_READ_OK) {
    if (in != nullptr) std::abort();
    return;
  }
  q4d::FileHeader header;
  if (q4d::header_read(in, &header) != q4d::HEADER_OK || header.frame_size != q4d::FRAME_SIZE) {
    std::fclose(in);
    return;
  }
  static q4d::FrameRecord frame;
  static q4d::EncodingVector previous;
  char row[q4d::CSV_ROW_MAX];
  for (std::uint32_t i = 0; i < header.n_frames; ++i) {
    if (q4d::frame_read(in, &frame) != q4d::FRAME_OK) break;
    if (q4d::format_csv_row(frame, i == 0 ? nullptr : &previous, row, sizeof row) <= 0) std::abort();
    previous = frame.vector;
  }
  std::fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const InputFile input;
  write_input(input.path, data, size);

  const int descriptors = open_descriptors();
  read_as_csv_does(input.path.c_str());
  if (open_descriptors() != descriptors) std::abort();
  return 0;
}
