// encode: an NDJSON4 ply log to a multi-frame container, one frame per line
// that carries a parseable FEN4 string. Lines are streamed: memory is the two
// line buffers, one board and one frame whatever the length of the game.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frames/container.h"
#include "frames/gzip.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "main_4d/file_identity.h"
#include "main_4d/ndjson4.h"
#include "main_4d/progress.h"
#include "position/fen4.h"

namespace q4d {
namespace {

constexpr int LINE_BUF_SIZE = 81920;  // longer lines are read, and counted, in pieces
constexpr int FEN4_BUF_SIZE = 65536;  // one FEN4 string and its NUL

// Fills the trailer from the line's keys; absent or unreadable values keep
// their defaults. Integers are stored by their low 32 or 8 bits.
void read_trailer(const char* line, std::uint32_t frames_written, PlyTrailer* t) {
  std::int64_t value = 0;
  std::int64_t square[4];
  const bool has_ply = find_int_key(line, "ply", &value) == NDJSON4_OK && value >= 0;
  t->ply = static_cast<std::uint32_t>(has_ply ? value : frames_written);
  if (find_int_array4(line, "move_from", square) == NDJSON4_OK) {
    for (int k = 0; k < 4; ++k) t->move_from[k] = static_cast<std::uint8_t>(square[k]);
  }
  if (find_int_array4(line, "move_to", square) == NDJSON4_OK) {
    for (int k = 0; k < 4; ++k) t->move_to[k] = static_cast<std::uint8_t>(square[k]);
  }
  if (find_int_key(line, "promo", &value) == NDJSON4_OK) t->promo = static_cast<std::uint8_t>(value);
  if (find_int_key(line, "flags", &value) == NDJSON4_OK) t->flags = static_cast<std::uint8_t>(value);
}

}  // namespace

int cmd_encode(int argc, char** argv) {
  const char* input = nullptr;
  const char* output = nullptr;
  bool compress = false;
  for (int i = 0; i < argc; ++i) {
    if (take_option_value(argc, argv, &i, "-i", "--input", &input)) continue;
    if (take_option_value(argc, argv, &i, "-o", "--output", &output)) continue;
    if (arg_is(argv[i], "-z", "--compress")) {
      compress = true;
    } else if (argv[i][0] != '-' && input == nullptr) {
      input = argv[i];
    }
  }
  if (input == nullptr) {
    std::fputs("encode: missing input NDJSON4 path (use -i <path> or positional)\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (output == nullptr) {
    std::fputs("encode: missing -o <output>\n", stderr);
    return EXIT_BAD_ARGS;
  }

  const bool from_stdin = std::strcmp(input, "-") == 0;
  std::FILE* in = from_stdin ? stdin : std::fopen(input, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "encode: cannot open %s\n", input);
    return EXIT_FAILED;
  }
  auto close_input = [&] {
    if (!from_stdin) std::fclose(in);
  };
  // Checked before the output is created, which would truncate the input.
  if (path_is_stream_file(output, in)) {
    std::fprintf(stderr, "encode: output %s is the input file\n", output);
    close_input();
    return EXIT_BAD_ARGS;
  }
  std::FILE* out = compress ? std::tmpfile() : std::fopen(output, "wb");
  if (out == nullptr) {
    close_input();
    std::fprintf(stderr, "encode: cannot create %s\n", compress ? "tmpfile" : output);
    return EXIT_FAILED;
  }
  FileHeader header;
  header_init(&header);
  if (header_write(out, &header) != HEADER_OK) {
    close_input();
    std::fclose(out);
    std::fputs("encode: header write failed\n", stderr);
    return EXIT_FAILED;
  }
  char* line = static_cast<char*>(std::malloc(LINE_BUF_SIZE));
  char* fen4 = static_cast<char*>(std::malloc(FEN4_BUF_SIZE));
  if (line == nullptr || fen4 == nullptr) {
    std::free(line);
    std::free(fen4);
    close_input();
    std::fclose(out);
    std::fprintf(stderr, "encode: out of memory allocating line/FEN4 buffers (need %d + %d KiB)\n",
                 LINE_BUF_SIZE / 1024, FEN4_BUF_SIZE / 1024);
    return EXIT_FAILED;
  }

  static Board4D board;
  static FrameRecord frame;  // 176 KiB: kept off the stack
  int status = EXIT_OK;
  std::uint32_t line_number = 0;
  std::uint32_t frames_written = 0;
  Progress progress;  // a line on standard error when it is a terminal
  progress_start(&progress, "encode");
  while (std::fgets(line, LINE_BUF_SIZE, in) != nullptr) {
    ++line_number;
    if (std::strstr(line, "bridge_version") != nullptr) continue;  // metadata line
    const char* text = nullptr;
    std::size_t length = 0;
    if (ndjson4_find_string(line, "fen4", &text, &length) != NDJSON4_OK) continue;
    if (length >= FEN4_BUF_SIZE) {
      progress_clear(&progress);
      std::fprintf(stderr,
                   "encode: line %u: FEN4 string longer than %d KiB; rebuild with a larger FEN4_BUF_SIZE in "
                   "cmd_encode (src/main_4d) if your corpus genuinely needs it\n",
                   static_cast<unsigned>(line_number), FEN4_BUF_SIZE / 1024);
      continue;
    }
    std::memcpy(fen4, text, length);
    fen4[length] = '\0';
    const int parsed = parse_fen4(fen4, &board);
    if (parsed != FEN4_OK) {
      progress_clear(&progress);
      std::fprintf(stderr, "encode: FEN4 parse error %d at line %u\n", parsed, static_cast<unsigned>(line_number));
      continue;
    }
    encode_position(board, frame.vector);
    frame.trailer = PlyTrailer{};
    read_trailer(line, frames_written, &frame.trailer);
    if (frame_write(out, &frame) != FRAME_OK) {
      progress_clear(&progress);
      std::fprintf(stderr, "encode: frame write failed at ply %u\n", static_cast<unsigned>(frame.trailer.ply));
      status = EXIT_FAILED;
      break;
    }
    ++frames_written;
    progress_update(&progress, frames_written);
  }
  progress_clear(&progress);
  if (std::ferror(in)) {
    std::fprintf(stderr, "encode: read error on %s\n", input);
    status = EXIT_FAILED;
  }

  header.n_frames = frames_written;
  if (header_write(out, &header) != HEADER_OK) {
    std::fputs("encode: header backfill failed\n", stderr);
    status = EXIT_FAILED;
  }
  close_input();
  if (compress && gzip_write_file(output, out) != GZIP_WRITE_OK) {
    std::fprintf(stderr, "encode: gzip to %s failed\n", output);
    std::fclose(out);
    std::free(line);
    std::free(fen4);
    return EXIT_FAILED;
  }
  // For a plain output this is where a full disk shows up. The temporary
  // file of -z vanishes here, so its close says nothing about the output.
  const bool write_error = std::ferror(out) != 0;
  const bool closed = std::fclose(out) == 0 && !write_error;
  if (!compress && !closed) {
    std::fprintf(stderr, "encode: write to %s failed\n", output);
    status = EXIT_FAILED;
  }
  if (frames_written == 0) {
    std::fputs("encode: warning — no plies written (empty input or all FEN4 parse errors)\n", stderr);
  }
  std::free(line);
  std::free(fen4);
  return status;
}

}  // namespace q4d
