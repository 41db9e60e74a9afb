// csv: a container (plain, gzip or zstd) to one CSV row per frame.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "frames/container_file.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "main_4d/csv_report.h"
#include "main_4d/file_identity.h"

namespace q4d {

int cmd_csv(int argc, char** argv) {
  const char* input = nullptr;
  const char* output = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (take_option_value(argc, argv, &i, "-o", "--output", &output)) continue;
    if (argv[i][0] != '-' && input == nullptr) input = argv[i];
  }
  if (input == nullptr) {
    std::fputs(
        "csv: missing input file.\n"
        "    quorvane_4d csv <game.quorvanez4> [-o out.csv]\n"
        "    (omit -o or pass -o - to write CSV to stdout)\n",
        stderr);
    return EXIT_BAD_ARGS;
  }
  // What csv salvages is what a reader that does not verify gives: the
  // complete frames of a container cut short, then a failed read.
  ContainerReader* reader = nullptr;
  switch (container_reader_open(input, ContainerReadOptions{}, &reader)) {
    case OK: break;
    case ERR_NOT_REGULAR:  // a folder, a FIFO, a device
    case CONTAINER_ERR_SHORT_HEADER:
    case CONTAINER_ERR_MAGIC:
    case CONTAINER_ERR_VERSION:
    case CONTAINER_ERR_FRAME_SIZE:
    case CONTAINER_ERR_DIMENSION:
      std::fprintf(stderr, "csv: %s is not a valid v3/v4 .quorvanez4 file\n", input);
      return EXIT_FAILED;
    default:
      std::fprintf(stderr, "csv: cannot open %s (or bad gzip)\n", input);
      return EXIT_FAILED;
  }
  const FileHeader& header = container_reader_info(reader)->header;
  const bool to_stdout = output == nullptr || std::strcmp(output, "-") == 0;
  // Creating the output would truncate the user's game.
  struct stat input_id;
  if (!to_stdout && stat(input, &input_id) == 0 && path_is_same_file(output, input_id)) {
    std::fprintf(stderr, "csv: output %s is the input file\n", output);
    container_reader_close(reader);
    return EXIT_BAD_ARGS;
  }
  std::FILE* out = to_stdout ? stdout : std::fopen(output, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "csv: cannot create %s\n", output);
    container_reader_close(reader);
    return EXIT_FAILED;
  }

  std::fputs(CSV_HEADER_LINE, out);
  // The current and the previous frame, 176 KiB each: kept off the stack,
  // and swapped rather than copied after every row.
  static FrameRecord frames[2];
  FrameRecord* frame = &frames[0];
  FrameRecord* previous = &frames[1];
  char row[CSV_ROW_MAX];
  for (std::uint32_t i = 0; i < header.n_frames; ++i) {
    if (container_reader_read(reader, frame->vector.data(), &frame->trailer) != OK) {
      std::fprintf(stderr, "csv: frame read failed at ply %u\n", static_cast<unsigned>(i));
      break;
    }
    const int length = format_csv_row(*frame, i == 0 ? nullptr : &previous->vector, row, sizeof row);
    if (length > 0) std::fwrite(row, 1, static_cast<std::size_t>(length), out);
    std::swap(frame, previous);
  }
  container_reader_close(reader);

  // A full disk shows up here at the latest; it must not pass as success.
  bool ok = std::fflush(out) == 0 && !std::ferror(out);
  if (!to_stdout) ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "csv: write to %s failed\n", to_stdout ? "-" : output);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace q4d
