// encode-fen4: one FEN4 literal to a one-frame container, plain or gzip, to
// a file or (plain only) to standard output.
#include <cstdio>
#include <cstring>

#include "frames/container.h"
#include "frames/gzip.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "position/fen4.h"

namespace q4d {
namespace {

// The container goes to a stream in sequence: standard output may be a pipe,
// or a file that already holds bytes written before this command.
int write_container(std::FILE* out, bool seekable, const FileHeader& header, const FrameRecord& frame) {
  const int h = seekable ? header_write(out, &header) : header_write_here(out, &header);
  return h != HEADER_OK ? h : frame_write(out, &frame);
}

}  // namespace

int cmd_encode_fen4(int argc, char** argv) {
  const char* fen4 = nullptr;
  const char* output = nullptr;
  bool compress = false;
  for (int i = 0; i < argc; ++i) {
    if (take_option_value(argc, argv, &i, "--fen4", "--fen", &fen4)) continue;
    if (take_option_value(argc, argv, &i, "-o", "--output", &output)) continue;
    if (arg_is(argv[i], "-z", "--compress")) compress = true;
  }
  if (fen4 == nullptr) {
    std::fputs("encode-fen4: missing --fen4 <literal>\n", stderr);
    return EXIT_BAD_ARGS;
  }

  static Board4D board;
  static FrameRecord frame;  // 176 KiB: kept off the stack
  const int parsed = parse_fen4(fen4, &board);
  if (parsed != FEN4_OK) {
    std::fprintf(stderr, "encode-fen4: FEN4 parse error %d\n", parsed);
    return EXIT_FAILED;
  }
  encode_position(board, frame.vector);
  frame.trailer = PlyTrailer{};
  FileHeader header;
  header_init(&header);
  header.n_frames = 1;

  const bool to_stdout = output == nullptr || std::strcmp(output, "-") == 0;
  if (compress) {
    if (to_stdout) {
      std::fputs("encode-fen4: -z requires --output <path>; cannot gzip-stream to stdout\n", stderr);
      return EXIT_BAD_ARGS;
    }
    std::FILE* tmp = std::tmpfile();
    if (tmp == nullptr) {
      std::fputs("encode-fen4: tmpfile() failed\n", stderr);
      return EXIT_FAILED;
    }
    int status = EXIT_OK;
    if (write_container(tmp, true, header, frame) != 0) {
      std::fputs("encode-fen4: write to tmpfile failed\n", stderr);
      status = EXIT_FAILED;
    } else if (gzip_write_file(output, tmp) != GZIP_WRITE_OK) {
      std::fprintf(stderr, "encode-fen4: gzip to %s failed\n", output);
      status = EXIT_FAILED;
    }
    std::fclose(tmp);
    return status;
  }

  std::FILE* out = stdout;
  if (!to_stdout) {
    out = std::fopen(output, "wb");
    if (out == nullptr) {
      std::fprintf(stderr, "encode-fen4: cannot open %s for write\n", output);
      return EXIT_FAILED;
    }
  }
  bool ok = write_container(out, !to_stdout, header, frame) == 0;
  // The final flush is where a full disk shows up; it must not pass as success.
  ok = std::fflush(out) == 0 && !std::ferror(out) && ok;
  if (!to_stdout) ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::fputs("encode-fen4: write failed\n", stderr);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace q4d
