// Fuzz target: the read path of `csv` on an arbitrary file.
//
// The input is written to a file and read as the command reads it: the
// container reader (plain, or gzip or zstd checked and then decompressed as
// far as the header's frames go) with its header checks, then every
// frame the header claims and its row of statistics, until a read fails.
// The same file is also opened with verification, which must refuse or
// accept it with a documented code, and accept nothing that the reader
// without it refuses. Besides the sanitizers' checks: every row fits the
// command's row buffer, whatever the frame's bits (a row that did not fit
// would be dropped from the report); and no stream stays open afterwards
// (the sanitizers do not see a FILE that is never closed, but a
// long-running caller would run out of descriptors).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "frames/container_file.h"
#include "input_file.h"
#include "main_4d/csv_report.h"

namespace {

// Returns the reader's result of opening the file.
q4d::Result read_as_csv_does(const char* path) {
  q4d::ContainerReader* reader = nullptr;
  const q4d::Result opened = q4d::container_reader_open(path, q4d::ContainerReadOptions{}, &reader);
  if (opened != q4d::OK) {
    if (reader != nullptr) std::abort();
    return opened;
  }
  static q4d::FrameRecord frame;
  static q4d::EncodingVector previous;
  char row[q4d::CSV_ROW_MAX];
  const std::uint32_t n_frames = q4d::container_reader_info(reader)->header.n_frames;
  for (std::uint32_t i = 0; i < n_frames; ++i) {
    if (q4d::container_reader_read(reader, frame.vector.data(), &frame.trailer) != q4d::OK) break;
    if (q4d::format_csv_row(frame, i == 0 ? nullptr : &previous, row, sizeof row) <= 0) std::abort();
    previous = frame.vector;
  }
  q4d::container_reader_close(reader);
  return opened;
}

// Verification only adds refusals, each with a code of its own.
void open_verified(const char* path, q4d::Result unverified) {
  q4d::ContainerReader* reader = nullptr;
  const q4d::Result verified = q4d::container_reader_open(path, q4d::ContainerReadOptions{true}, &reader);
  if ((verified == q4d::OK) != (reader != nullptr)) std::abort();
  if (verified == q4d::OK && unverified != q4d::OK) std::abort();
  if (verified > 0 || std::string(q4d::result_name(verified)) == "unknown result") std::abort();
  if (reader != nullptr) {
    const q4d::ContainerInfo* info = q4d::container_reader_info(reader);
    for (std::uint32_t i = 0; i < info->header.n_frames; ++i) {
      static q4d::FrameRecord frame;
      // A verified container holds every frame its header counts.
      if (q4d::container_reader_read(reader, frame.vector.data(), &frame.trailer) != q4d::OK) {
        std::abort();
      }
    }
    q4d::container_reader_close(reader);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const q4d::fuzz::InputFile input("q4d_csv_fuzz");
  input.write(data, size);

  const int descriptors = q4d::fuzz::open_descriptors();
  open_verified(input.path.c_str(), read_as_csv_does(input.path.c_str()));
  if (q4d::fuzz::open_descriptors() != descriptors) std::abort();
  return 0;
}
