// The csv report's statistics of one frame pair, and the container writer
// and reader of every codec on a 100-frame container.
//
// The frames are the encodings of a walk of 100 positions of 96 pieces, one
// piece stepping to a neighbouring square per frame: seeded, so every run
// compresses the same bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frames/container_file.h"
#include "main_4d/csv_report.h"
#include "test_boards.h"

namespace {

constexpr int GAME_PIECES = 96;
constexpr int GAME_FRAMES = 100;

// Moves one random piece by one step along one axis, onto an empty square.
void step_one_piece(std::mt19937& rng, q4d::Board4D& board) {
  for (;;) {
    const int s = static_cast<int>(rng() % q4d::N_SQUARES);
    if (board.pieces[s] == 0) continue;
    const int axis = static_cast<int>(rng() % q4d::N_DIMS);
    const int stride = 1 << (3 * (3 - axis));
    const int c = q4d::square_coord(s, axis);
    const int t = (rng() & 1) ? (c < 7 ? s + stride : s - stride) : (c > 0 ? s - stride : s + stride);
    if (board.pieces[t] != 0) continue;
    board.pieces[t] = board.pieces[s];
    board.pawn_axis[t] = board.pawn_axis[s];
    board.pieces[s] = 0;
    board.pawn_axis[s] = 0;
    return;
  }
}

// The frames of the walk, with ply numbers and move squares in the trailers.
std::vector<q4d::FrameRecord> walk_frames(int n_frames) {
  std::mt19937 rng(GAME_PIECES);
  q4d::Board4D board = q4d::test::random_board(rng, GAME_PIECES);
  std::vector<q4d::FrameRecord> frames(static_cast<std::size_t>(n_frames));
  for (int i = 0; i < n_frames; ++i) {
    if (i > 0) step_one_piece(rng, board);
    q4d::encode_position(board, frames[i].vector);
    frames[i].trailer = q4d::PlyTrailer{static_cast<std::uint32_t>(i), {}, {}, 0, 0};
  }
  return frames;
}

void BM_csv_row(benchmark::State& state) {
  const std::vector<q4d::FrameRecord> frames = walk_frames(2);
  char row[q4d::CSV_ROW_MAX];
  for (auto _ : state) {
    benchmark::DoNotOptimize(q4d::format_csv_row(frames[1], &frames[0].vector, row, sizeof row));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_csv_row)->Unit(benchmark::kMicrosecond);

// The walk's frames, made once; and one file per codec in the temporary
// directory, removed at exit.
struct Containers {
  std::vector<q4d::FrameRecord> frames = walk_frames(GAME_FRAMES);
  std::string path[3];
  Containers() {
    for (int codec = 0; codec < 3; ++codec) {
      path[codec] = (std::filesystem::temp_directory_path() /
                     ("quorvane_bench_" + std::to_string(getpid()) + "_" + q4d::container_codec_name(codec)))
                        .string();
    }
  }
  ~Containers() {
    for (const std::string& p : path) std::remove(p.c_str());
  }
};

Containers& containers() {
  static Containers c;
  return c;
}

constexpr std::int64_t CONTAINER_BYTES = q4d::HEADER_SIZE + std::int64_t{GAME_FRAMES} * q4d::FRAME_SIZE;

bool write_container(const Containers& c, q4d::ContainerCodec codec, int threads) {
  q4d::ContainerWriteOptions options;
  options.codec = codec;
  options.threads = threads;
  q4d::ContainerWriter* writer = nullptr;
  if (q4d::container_writer_open(c.path[codec].c_str(), options, &writer) != q4d::OK) return false;
  bool ok = true;
  for (const q4d::FrameRecord& frame : c.frames) {
    ok = ok && q4d::container_writer_write(writer, frame.vector.data(), frame.trailer) == q4d::OK;
  }
  ok = ok && q4d::container_writer_backfill(writer) == q4d::OK;
  return q4d::container_writer_close(writer) == q4d::OK && ok;
}

// Frames to a container file of one codec: the temporary file, the header
// backfill and the compression. Arguments: codec, threads.
void BM_container_write(benchmark::State& state) {
  Containers& c = containers();
  const auto codec = static_cast<q4d::ContainerCodec>(state.range(0));
  for (auto _ : state) {
    if (!write_container(c, codec, static_cast<int>(state.range(1)))) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(state.iterations() * CONTAINER_BYTES);
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(c.path[codec]));
}
BENCHMARK(BM_container_write)
    ->ArgNames({"codec", "threads"})
    ->Args({q4d::CODEC_PLAIN, 1})
    ->Args({q4d::CODEC_GZIP, 1})
    ->Args({q4d::CODEC_GZIP, 2})
    ->Args({q4d::CODEC_ZSTD, 1})
    ->Args({q4d::CODEC_ZSTD, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A container file of one codec opened and read frame by frame.
void BM_container_read(benchmark::State& state) {
  Containers& c = containers();
  const auto codec = static_cast<q4d::ContainerCodec>(state.range(0));
  if (!write_container(c, codec, 1)) state.SkipWithError("could not write the container");
  static q4d::FrameRecord frame;
  for (auto _ : state) {
    q4d::ContainerReader* reader = nullptr;
    if (q4d::container_reader_open(c.path[codec].c_str(), q4d::ContainerReadOptions{}, &reader) !=
        q4d::OK) {
      state.SkipWithError("open failed");
      break;
    }
    while (q4d::container_reader_read(reader, frame.vector.data(), &frame.trailer) == q4d::OK) {
    }
    q4d::container_reader_close(reader);
  }
  state.SetBytesProcessed(state.iterations() * CONTAINER_BYTES);
}
BENCHMARK(BM_container_read)
    ->ArgName("codec")
    ->Arg(q4d::CODEC_PLAIN)
    ->Arg(q4d::CODEC_GZIP)
    ->Arg(q4d::CODEC_ZSTD)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
