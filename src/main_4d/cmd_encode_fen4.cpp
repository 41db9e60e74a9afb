// encode-fen4: one FEN4 literal to a one-frame container, plain or
// compressed, to a file or (plain only) to standard output.
#include <cstdio>
#include <cstring>

#include "frames/container_file.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "position/fen4.h"

namespace q4d {

int cmd_encode_fen4(int argc, char** argv) {
  const char* fen4 = nullptr;
  const char* output = nullptr;
  const char* zstd_level = nullptr;
  ContainerWriteOptions options;
  options.n_frames = 1;
  for (int i = 0; i < argc; ++i) {
    if (take_option_value(argc, argv, &i, "--fen4", "--fen", &fen4)) continue;
    if (take_option_value(argc, argv, &i, "-o", "--output", &output)) continue;
    (void)take_codec_option(argv[i], &options, &zstd_level);
  }
  if (fen4 == nullptr) {
    std::fputs("encode-fen4: missing --fen4 <literal>\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (options.codec == CODEC_ZSTD && !apply_zstd_level(zstd_level, &options)) {
    std::fprintf(stderr, "encode-fen4: invalid zstd level %s (%d to %d)\n", zstd_level, ZSTD_LEVEL_MIN,
                 ZSTD_LEVEL_MAX);
    return EXIT_BAD_ARGS;
  }

  static Board4D board;
  static EncodingVector vector;  // 176 KiB: kept off the stack
  const Result parsed = parse_fen4(fen4, &board);
  if (parsed != OK) {
    std::fprintf(stderr, "encode-fen4: FEN4 parse error %d\n", parsed);
    return EXIT_FAILED;
  }
  encode_position(board, vector);
  const PlyTrailer trailer{};

  const bool to_stdout = output == nullptr || std::strcmp(output, "-") == 0;
  ContainerWriter* writer = nullptr;
  if (options.codec != CODEC_PLAIN) {
    const char* codec = container_codec_name(options.codec);
    if (to_stdout) {
      std::fprintf(stderr, "encode-fen4: %s requires --output <path>; cannot %s-stream to stdout\n",
                   options.codec == CODEC_GZIP ? "-z" : "--zstd", codec);
      return EXIT_BAD_ARGS;
    }
    // Until it is closed, a compressed writer writes only to its temporary file.
    const Result opened = container_writer_open(output, options, &writer);
    if (opened != OK && opened != ERR_WRITE) {
      std::fputs("encode-fen4: tmpfile() failed\n", stderr);
      return EXIT_FAILED;
    }
    if (opened != OK || container_writer_write(writer, vector.data(), trailer) != OK) {
      std::fputs("encode-fen4: write to tmpfile failed\n", stderr);
      container_writer_discard(writer);
      return EXIT_FAILED;
    }
    if (container_writer_close(writer) != OK) {
      std::fprintf(stderr, "encode-fen4: %s to %s failed\n", codec, output);
      return EXIT_FAILED;
    }
    return EXIT_OK;
  }

  // Standard output is written in sequence: it may be a pipe, or a file that
  // already holds bytes written before this command.
  const Result opened = to_stdout ? container_writer_open_stream(stdout, options, &writer)
                                  : container_writer_open(output, options, &writer);
  if (opened == ERR_CREATE) {
    std::fprintf(stderr, "encode-fen4: cannot open %s for write\n", output);
    return EXIT_FAILED;
  }
  bool ok = opened == OK && container_writer_write(writer, vector.data(), trailer) == OK;
  // The final flush is where a full disk shows up; it must not pass as success.
  if (opened == OK) ok = container_writer_close(writer) == OK && ok;
  if (!ok) {
    std::fputs("encode-fen4: write failed\n", stderr);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace q4d
