// Fuzz target: the fixture reader of `encode-fixture` on arbitrary input.
//
// The input's first line (up to 100 bytes) is the requested fixture name, the
// rest is the fixture file, read as the command reads it. The file is also
// given whole to read_fixture_line. Besides the sanitizers' checks: the result is a documented code,
// and a board that was filled holds only axis flags 0 and 1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "position/fixture_file.h"

namespace {

constexpr std::size_t NAME_MAX_BYTES = 100;

void check(q4d::Result result, const q4d::Board4D& board) {
  switch (result) {
    case q4d::OK: break;
    case q4d::FIXTURE_ERR_NOT_FOUND:
    case q4d::FIXTURE_ERR_NO_PIECES:
    case q4d::FIXTURE_ERR_MALFORMED:
    case q4d::ERR_READ:
    case q4d::ERR_ALLOC: return;
    default: std::abort();
  }
  for (std::uint8_t axis : board.pawn_axis) {
    if (axis > q4d::PAWN_AXIS_Y) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const void* newline = std::memchr(bytes, '\n', size < NAME_MAX_BYTES ? size : NAME_MAX_BYTES);
  if (newline == nullptr) return 0;
  const std::size_t name_length = static_cast<std::size_t>(static_cast<const char*>(newline) - bytes);
  const std::string name(bytes, name_length);
  const char* file = bytes + name_length + 1;
  const std::size_t file_size = size - name_length - 1;

  static q4d::Board4D board;
  // The whole file as one NUL-terminated line, in a buffer of exactly its size.
  const std::unique_ptr<char[]> line(new char[file_size + 1]);
  std::memcpy(line.get(), file, file_size);
  line[file_size] = '\0';
  check(q4d::read_fixture_line(line.get(), name.c_str(), &board), board);

  if (file_size == 0) return 0;  // fmemopen refuses an empty buffer
  std::FILE* stream = fmemopen(line.get(), file_size, "rb");
  if (stream == nullptr) std::abort();
  check(q4d::read_fixture(stream, name.c_str(), &board), board);
  std::fclose(stream);
  return 0;
}
