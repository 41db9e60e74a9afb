// Fuzz target: the per-line handling of `encode` on arbitrary input.
//
// The input is read as encode reads a ply log, in fgets pieces of at most
// 81919 bytes, and each piece goes through the same calls: the fen4 string
// lookup, the length check, parse_fen4, and the integer and list lookups of
// the trailer keys. Besides the sanitizers' checks: a string found lies
// inside the piece and ends at a quote; integer conversion stops inside the
// text; a list that does not read leaves its output untouched.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "main_4d/ndjson4.h"
#include "position/fen4.h"

namespace {

constexpr int LINE_BUF_SIZE = 81920;  // as in cmd_encode
constexpr std::size_t FEN4_BUF_SIZE = 65536;

void check_integer_key(const char* line, const char* key) {
  std::int64_t value = 0;
  const int found = q4d::find_int_key(line, key, &value);
  if (found != q4d::NDJSON4_OK && found != q4d::NDJSON4_ERR_NO_KEY && found != q4d::NDJSON4_ERR_NO_VALUE) std::abort();
}

void check_list_key(const char* line, const char* key) {
  constexpr std::int64_t UNTOUCHED = 0x5A5A5A5A;
  std::int64_t values[4] = {UNTOUCHED, UNTOUCHED, UNTOUCHED, UNTOUCHED};
  if (q4d::find_int_array4(line, key, values) == q4d::NDJSON4_OK) return;
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

  if (std::strstr(line, "bridge_version") != nullptr) return;
  const char* text = nullptr;
  std::size_t length = 0;
  if (q4d::ndjson4_find_string(line, "fen4", &text, &length) != q4d::NDJSON4_OK) return;
  if (text <= line || text + length >= line + line_length || text[length] != '"') std::abort();
  if (length >= FEN4_BUF_SIZE) return;
  std::memcpy(fen4, text, length);
  fen4[length] = '\0';
  if (q4d::parse_fen4(fen4, board) != q4d::FEN4_OK) return;

  check_integer_key(line, "ply");
  check_list_key(line, "move_from");
  check_list_key(line, "move_to");
  check_integer_key(line, "promo");
  check_integer_key(line, "flags");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen refuses an empty buffer
  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (in == nullptr) std::abort();
  static q4d::Board4D board;
  // Heap buffers of the command's sizes, so an overrun is caught.
  const std::unique_ptr<char[]> line(new char[LINE_BUF_SIZE]);
  const std::unique_ptr<char[]> fen4(new char[FEN4_BUF_SIZE]);
  while (std::fgets(line.get(), LINE_BUF_SIZE, in) != nullptr) handle_piece(line.get(), fen4.get(), &board);
  std::fclose(in);
  return 0;
}
