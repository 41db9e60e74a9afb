// encode: an NDJSON4 ply log to a multi-frame container, one frame per line
// that carries a parseable FEN4 string. Lines are streamed: memory is the two
// line buffers and one batch of boards and frames whatever the length of the
// game. With --threads N the boards of a batch are encoded N at a time and
// the frames and messages still go out in the order of the lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "encoder/encoder_pool.h"
#include "frames/container_file.h"
#include "main_4d/cli_args.h"
#include "main_4d/commands.h"
#include "main_4d/file_identity.h"
#include "main_4d/progress.h"
#include "position/ply_log.h"

namespace q4d {
namespace {

constexpr int MAX_THREADS = 1024;
constexpr int BOARDS_PER_THREAD = 4;  // enough that no thread waits long for the slowest board
constexpr int LINES_PER_BOARD = 64;   // messages that may wait behind a batch's frames

// One line of the log that gave a frame or a message, in input order.
struct LineOutcome {
  Result kind;  // OK (the batch's next board), PLY_LOG_TOO_LONG or PLY_LOG_BAD_FEN4
  std::uint32_t line_number;
  int fen4_error;
};

// Lines read but not yet written out. With one thread a batch holds one
// board, and every line goes out as soon as it is read.
struct PlyBatch {
  int board_capacity = 0, line_capacity = 0;
  int n_boards = 0, n_lines = 0;
  std::unique_ptr<Board4D[]> boards;
  std::unique_ptr<PlyTrailer[]> trailers;
  std::unique_ptr<float[]> vectors;  // ENCODING_DIM per board
  std::unique_ptr<LineOutcome[]> lines;

  bool allocate(int capacity) {
    board_capacity = capacity;
    line_capacity = capacity * LINES_PER_BOARD;
    boards.reset(new (std::nothrow) Board4D[capacity]);
    trailers.reset(new (std::nothrow) PlyTrailer[capacity]);
    vectors.reset(new (std::nothrow) float[static_cast<std::size_t>(capacity) * ENCODING_DIM]);
    lines.reset(new (std::nothrow) LineOutcome[line_capacity]);
    return boards && trailers && vectors && lines;
  }
  bool full() const { return n_boards == board_capacity || n_lines == line_capacity; }
};

void report_line(const LineOutcome& line, Progress* progress) {
  progress_clear(progress);
  if (line.kind == PLY_LOG_TOO_LONG) {
    std::fprintf(stderr,
                 "encode: line %u: FEN4 string longer than %d KiB; rebuild with a larger FEN4_BUF_SIZE in "
                 "cmd_encode (src/main_4d) if your corpus genuinely needs it\n",
                 static_cast<unsigned>(line.line_number), FEN4_BUF_SIZE / 1024);
  } else {
    std::fprintf(stderr, "encode: FEN4 parse error %d at line %u\n", line.fen4_error,
                 static_cast<unsigned>(line.line_number));
  }
}

// Encodes the batch's boards, then writes its frames and messages in line
// order. False when a frame could not be written: the lines after it are
// dropped.
bool write_batch(PlyBatch& batch, EncoderPool* pool, ContainerWriter* writer, Progress* progress) {
  bool ok = encoder_pool_encode(pool, batch.boards.get(), static_cast<std::size_t>(batch.n_boards),
                                batch.vectors.get()) == OK;
  for (int i = 0, k = 0; ok && i < batch.n_lines; ++i) {
    if (batch.lines[i].kind != OK) {
      report_line(batch.lines[i], progress);
      continue;
    }
    const float* vector = batch.vectors.get() + static_cast<std::size_t>(k) * ENCODING_DIM;
    if (container_writer_write(writer, vector, batch.trailers[k]) != OK) {
      progress_clear(progress);
      std::fprintf(stderr, "encode: frame write failed at ply %u\n", static_cast<unsigned>(batch.trailers[k].ply));
      ok = false;
    } else {
      ++k;
      progress_update(progress, container_writer_frames(writer));
    }
  }
  batch.n_boards = batch.n_lines = 0;
  return ok;
}

}  // namespace

int cmd_encode(int argc, char** argv) {
  const char* input = nullptr;
  const char* output = nullptr;
  const char* threads_text = nullptr;
  const char* zstd_level = nullptr;
  ContainerWriteOptions options;
  for (int i = 0; i < argc; ++i) {
    if (take_option_value(argc, argv, &i, "-i", "--input", &input)) continue;
    if (take_option_value(argc, argv, &i, "-o", "--output", &output)) continue;
    if (take_option_value(argc, argv, &i, "--threads", nullptr, &threads_text)) continue;
    if (take_codec_option(argv[i], &options, &zstd_level)) continue;
    if (argv[i][0] != '-' && input == nullptr) input = argv[i];
  }
  if (input == nullptr) {
    std::fputs("encode: missing input NDJSON4 path (use -i <path> or positional)\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (output == nullptr) {
    std::fputs("encode: missing -o <output>\n", stderr);
    return EXIT_BAD_ARGS;
  }
  if (threads_text != nullptr && !parse_number(threads_text, 0, MAX_THREADS, &options.threads)) {
    std::fprintf(stderr, "encode: invalid --threads %s (0 to %d; 0 is one per processor)\n", threads_text,
                 MAX_THREADS);
    return EXIT_BAD_ARGS;
  }
  if (options.codec == CODEC_ZSTD && !apply_zstd_level(zstd_level, &options)) {
    std::fprintf(stderr, "encode: invalid zstd level %s (%d to %d)\n", zstd_level, ZSTD_LEVEL_MIN, ZSTD_LEVEL_MAX);
    return EXIT_BAD_ARGS;
  }
  EncoderPool* pool = nullptr;
  if (encoder_pool_create(options.threads, &pool) != OK) {
    std::fprintf(stderr, "encode: cannot start %d threads\n", options.threads);
    return EXIT_FAILED;
  }
  const std::unique_ptr<EncoderPool, decltype(&encoder_pool_destroy)> pool_owner(pool, encoder_pool_destroy);

  PlyLogReader* reader = nullptr;
  Failure failure;
  if (ply_log_open(input, PlyLogOptions{}, &reader, &failure) != OK) {
    if (failure.result == ERR_ALLOC) {
      std::fprintf(stderr, "encode: out of memory allocating line/FEN4 buffers (need %d + %d KiB)\n",
                   LINE_BUF_SIZE / 1024, FEN4_BUF_SIZE / 1024);
    } else {
      std::fprintf(stderr, "encode: cannot open %s\n", input);
    }
    return EXIT_FAILED;
  }
  const std::unique_ptr<PlyLogReader, decltype(&ply_log_close)> reader_owner(reader, ply_log_close);
  // Checked before the output is created, which would truncate the input.
  if (path_is_input(output, input)) {
    std::fprintf(stderr, "encode: output %s is the input file\n", output);
    return EXIT_BAD_ARGS;
  }
  ContainerWriter* writer = nullptr;
  const Result opened = container_writer_open(output, options, &writer);
  if (opened == ERR_WRITE) {
    std::fputs("encode: header write failed\n", stderr);
    return EXIT_FAILED;
  }
  if (opened != OK) {
    std::fprintf(stderr, "encode: cannot create %s\n", options.codec != CODEC_PLAIN ? "tmpfile" : output);
    return EXIT_FAILED;
  }
  const int threads = encoder_pool_threads(pool);
  PlyBatch batch;
  if (!batch.allocate(threads == 1 ? 1 : threads * BOARDS_PER_THREAD)) {
    container_writer_discard(writer);
    std::fprintf(stderr, "encode: out of memory for a batch of %d frames\n", batch.board_capacity);
    return EXIT_FAILED;
  }

  int status = EXIT_OK;
  Progress progress;  // a line on standard error when it is a terminal
  progress_start(&progress, "encode");
  Result read = OK;
  for (;;) {
    const int k = batch.n_boards;
    read = ply_log_next(reader, &batch.boards[k], &batch.trailers[k], &failure);
    if (read == PAUSED) continue;
    if (read != OK && read != PLY_LOG_TOO_LONG && read != PLY_LOG_BAD_FEN4) break;
    const LineOutcome outcome{read, static_cast<std::uint32_t>(read == OK ? 0 : failure.line), failure.fen4_error};
    if (read != OK && k == 0) {
      report_line(outcome, &progress);  // no frame waits before it
      continue;
    }
    batch.lines[batch.n_lines++] = outcome;
    if (read == OK) ++batch.n_boards;
    if (batch.full() && !write_batch(batch, pool, writer, &progress)) {
      status = EXIT_FAILED;
      break;
    }
  }
  if (status == EXIT_OK && !write_batch(batch, pool, writer, &progress)) status = EXIT_FAILED;
  progress_clear(&progress);
  if (read == ERR_READ) {
    std::fprintf(stderr, "encode: read error on %s\n", input);
    status = EXIT_FAILED;
  } else if (read != END && status == EXIT_OK) {  // a compressed input that is damaged
    std::fprintf(stderr, "encode: read error on %s: %s\n", input, result_name(read));
    status = EXIT_FAILED;
  }

  const std::uint32_t frames_written = container_writer_frames(writer);
  if (container_writer_backfill(writer) != OK) {
    std::fputs("encode: header backfill failed\n", stderr);
    status = EXIT_FAILED;
  }
  const Result closed = container_writer_close(writer);
  // A compressed output is made here, from the temporary file.
  if (closed != OK && options.codec != CODEC_PLAIN) {
    std::fprintf(stderr, "encode: %s to %s failed\n", container_codec_name(options.codec), output);
    return EXIT_FAILED;
  }
  // For a plain output this is where a full disk shows up.
  if (closed != OK) {
    std::fprintf(stderr, "encode: write to %s failed\n", output);
    status = EXIT_FAILED;
  }
  if (frames_written == 0) {
    std::fputs("encode: warning — no plies written (empty input or all FEN4 parse errors)\n", stderr);
  }
  return status;
}

}  // namespace q4d
