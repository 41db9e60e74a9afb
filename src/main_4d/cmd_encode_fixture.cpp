// encode-fixture: the raw encoding of a named fixture on standard output,
// the entry point for comparing implementations of the encoder.
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "encoder/encoding.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "position/fixture_file.h"

namespace q4d {
namespace {

// Like atoi, without its undefined behaviour on overflow; below 2 means once.
int parse_repeat_count(const char* text) {
  const long n = std::strtol(text, nullptr, 10);
  if (n < 2) return 1;
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace

int cmd_encode_fixture(int argc, char** argv) {
  static_assert(std::endian::native == std::endian::little, "the raw output is little-endian float32");
  const char* path = nullptr;
  const char* name = nullptr;
  const char* repeat_text = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (take_option_value(argc, argv, &i, "--positions-jsonl", nullptr, &path)) continue;
    if (take_option_value(argc, argv, &i, "--name", nullptr, &name)) continue;
    take_option_value(argc, argv, &i, "--repeat", nullptr, &repeat_text);
  }
  if (path == nullptr) {
    std::fputs("encode-fixture: missing --positions-jsonl <path>\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (name == nullptr) {
    std::fputs("encode-fixture: missing --name <fixture>\n", stderr);
    return EXIT_BAD_ARGS;
  }
  const int repeat = repeat_text != nullptr ? parse_repeat_count(repeat_text) : 1;

  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    std::fprintf(stderr, "encode-fixture: cannot open %s\n", path);
    return EXIT_FAILED;
  }
  Board4D board;
  const Result found = read_fixture(file, name, &board);
  std::fclose(file);
  switch (found) {
    case OK:
      break;
    case FIXTURE_ERR_NO_PIECES:
      std::fprintf(stderr, "encode-fixture: %s has no \"pieces\" object\n", name);
      return EXIT_FAILED;
    case FIXTURE_ERR_MALFORMED:
      std::fprintf(stderr, "encode-fixture: malformed pieces object for %s\n", name);
      return EXIT_FAILED;
    default:  // not found, or a read error
      std::fprintf(stderr, "encode-fixture: fixture '%s' not found in %s\n", name, path);
      return EXIT_FAILED;
  }

  EncodingVector vector;
  for (int i = 0; i < repeat; ++i) encode_position(board, vector);

  const std::size_t written = std::fwrite(vector.data(), sizeof(float), vector.size(), stdout);
  if (written < vector.size()) {
    std::fprintf(stderr, "encode-fixture: short write (%zu of %zu floats)\n", written, vector.size());
    return EXIT_FAILED;
  }
  if (std::fflush(stdout) != 0) {
    std::fputs("encode-fixture: write to stdout failed\n", stderr);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace q4d
