// encode: an NDJSON4 ply log to a multi-frame container, one frame per line
// that carries a parseable FEN4 string. Lines are streamed: memory is the two
// line buffers, one board and one frame whatever the length of the game.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "frames/container.h"
#include "frames/gzip.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "main_4d/file_identity.h"
#include "main_4d/progress.h"
#include "position/ply_log.h"

namespace q4d {

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
  PlyLogReader reader;
  if (ply_log_open(&reader, in) != PLY_LOG_OK) {
    close_input();
    std::fclose(out);
    std::fprintf(stderr, "encode: out of memory allocating line/FEN4 buffers (need %d + %d KiB)\n",
                 LINE_BUF_SIZE / 1024, FEN4_BUF_SIZE / 1024);
    return EXIT_FAILED;
  }

  static Board4D board;
  static FrameRecord frame;  // 176 KiB: kept off the stack
  int status = EXIT_OK;
  std::uint32_t frames_written = 0;
  Progress progress;  // a line on standard error when it is a terminal
  progress_start(&progress, "encode");
  int read = PLY_LOG_OK;
  while ((read = ply_log_next(&reader, &board, &frame.trailer)) != PLY_LOG_END && read != PLY_LOG_ERR_READ) {
    if (read == PLY_LOG_TOO_LONG) {
      progress_clear(&progress);
      std::fprintf(stderr,
                   "encode: line %u: FEN4 string longer than %d KiB; rebuild with a larger FEN4_BUF_SIZE in "
                   "cmd_encode (src/main_4d) if your corpus genuinely needs it\n",
                   static_cast<unsigned>(reader.line_number), FEN4_BUF_SIZE / 1024);
      continue;
    }
    if (read == PLY_LOG_BAD_FEN4) {
      progress_clear(&progress);
      std::fprintf(stderr, "encode: FEN4 parse error %d at line %u\n", reader.fen4_error,
                   static_cast<unsigned>(reader.line_number));
      continue;
    }
    encode_position(board, frame.vector);
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
  ply_log_close(&reader);
  if (read == PLY_LOG_ERR_READ) {
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
  return status;
}

}  // namespace q4d
