// Fuzz target: the per-line handling of `encode` on arbitrary input.
//
// The input is read as encode reads a ply log, in fgets pieces of at most
// 81919 bytes, and each piece goes through read_ply_line, as in encode, and
// through each lookup it makes. Besides the sanitizers' checks: a string found lies
// inside the piece and ends at a quote; integer conversion stops inside the
// text; a list that does not read leaves its output untouched. Then the input
// is read by PlyLogReader, from a file in memory, whole and in three ranges
// of bytes: the ranges together give the same positions, trailers and
// reported lines.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frames/container.h"
#include "position/piece_list.h"
#include "position/fen4.h"
#include "position/key_scan.h"
#include "position/ply_line.h"
#include "position/ply_log.h"

namespace {

void check_integer_key(const char* line, const char* key) {
  std::int64_t value = 0;
  const q4d::Result found = q4d::find_int_key(line, key, &value);
  if (found != q4d::OK && found != q4d::KEY_ABSENT && found != q4d::KEY_NO_VALUE) std::abort();
}

void check_list_key(const char* line, const char* key) {
  constexpr std::int64_t UNTOUCHED = 0x5A5A5A5A;
  std::int64_t values[4] = {UNTOUCHED, UNTOUCHED, UNTOUCHED, UNTOUCHED};
  if (q4d::find_int_array4(line, key, values) == q4d::OK) return;
  for (std::int64_t v : values) {
    if (v != UNTOUCHED) std::abort();
  }
}

void handle_piece(const char* line, char* fen4, q4d::Board4D* board) {
  const std::size_t line_length = std::strlen(line);
  // Integer conversion never runs past the terminating NUL.
  std::int64_t value = 0;
  const char* end = q4d::ndjson4_parse_integer(line, &value);
  if (end < line || end > line + line_length) std::abort();

  // The lookups encode makes, one by one, with their invariants.
  const char* text = nullptr;
  std::size_t length = 0;
  if (q4d::find_string_value(line, "fen4", &text, &length) == q4d::OK &&
      (text <= line || text + length >= line + line_length || text[length] != '"')) {
    std::abort();
  }
  check_integer_key(line, "ply");
  check_list_key(line, "move_from");
  check_list_key(line, "move_to");
  check_integer_key(line, "promo");
  check_integer_key(line, "flags");
  double number = 0;
  const q4d::Result found = q4d::find_number_key(line, "score", &number);
  if (found != q4d::OK && found != q4d::KEY_ABSENT && found != q4d::KEY_NO_VALUE) std::abort();

  // And the line as encode reads it.
  q4d::PlyTrailer trailer;
  int fen4_error = 0;
  unsigned fields = 0;
  const q4d::Result read = q4d::read_ply_line(line, fen4, board, &trailer, &fields, &fen4_error);
  if (read == q4d::PLY_LOG_BAD_FEN4 && (fen4_error > q4d::FEN4_ERR_PREFIX || fen4_error < q4d::FEN4_ERR_SEPARATOR)) {
    std::abort();
  }
  if (read != q4d::OK && read != q4d::PLY_LOG_METADATA && read != q4d::KEY_ABSENT && read != q4d::KEY_NO_VALUE &&
      read != q4d::PLY_LOG_TOO_LONG && read != q4d::PLY_LOG_BAD_FEN4) {
    std::abort();
  }
}

// Everything a reader gives for the lines that start in [begin, end) (all of
// them when end is -1), as one string.
std::string read_range(const std::string& path, std::int64_t begin, std::int64_t end) {
  q4d::PlyLogOptions range;
  range.begin = begin;
  range.end = end;
  q4d::PlyLogReader* reader = nullptr;
  if (q4d::ply_log_open(path.c_str(), range, &reader, nullptr) != q4d::OK) std::abort();
  static q4d::Board4D board;
  std::string seen;
  q4d::PlyTrailer trailer{};
  for (q4d::Result r; (r = q4d::ply_log_next(reader, &board, &trailer, nullptr)) != q4d::END;) {
    if (r == q4d::PAUSED) continue;  // where a reader pauses depends on where it started
    if (r == q4d::OK) {
      unsigned char bytes[q4d::TRAILER_SIZE];
      q4d::trailer_to_bytes(trailer, bytes);
      seen += q4d::ply_log_fen4(reader);
      seen.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
    } else if (r == q4d::PLY_LOG_TOO_LONG || r == q4d::PLY_LOG_BAD_FEN4) {
      seen += "reported " + std::to_string(r);
    } else {
      std::abort();
    }
    seen += '\n';
  }
  q4d::ply_log_close(reader);
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (in == nullptr) std::abort();
  static q4d::Board4D board;
  // Heap buffers of the command's sizes, so an overrun is caught.
  const std::unique_ptr<char[]> line(new char[q4d::LINE_BUF_SIZE]);
  const std::unique_ptr<char[]> fen4(new char[q4d::FEN4_BUF_SIZE]);
  while (std::fgets(line.get(), q4d::LINE_BUF_SIZE, in) != nullptr) handle_piece(line.get(), fen4.get(), &board);
  std::fclose(in);

  // The input as a regular file that lives in memory, opened by its name.
  const int fd = memfd_create("ndjson4_line", 0);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const auto n = static_cast<std::int64_t>(size);
  const std::int64_t cut = data[0] * n / 256;  // a cut the input chooses
  const std::int64_t cuts[4] = {0, cut, cut + (n - cut) / 2, n};
  std::string ranges;
  for (int k = 0; k < 3; ++k) ranges += read_range(path, cuts[k], cuts[k + 1]);
  if (ranges != read_range(path, 0, -1)) std::abort();
  close(fd);
  return 0;
}
