// The csv report's statistics of one frame pair, and the gzip wrapper on a
// 100-frame container.
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

#include "frames/container.h"
#include "frames/gzip.h"
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

// The plain container in a temporary file, and its gzip form in a file of the
// temporary directory; made once, removed at exit.
struct Containers {
  std::FILE* plain = std::tmpfile();
  std::string gzip_path =
      (std::filesystem::temp_directory_path() / ("quorvane_bench_" + std::to_string(getpid()) + ".quorvanez4"))
          .string();
  long plain_bytes = 0;
  bool ok = false;

  Containers() {
    if (plain == nullptr) return;
    q4d::FileHeader header;
    q4d::header_init(&header);
    header.n_frames = GAME_FRAMES;
    ok = q4d::header_write(plain, &header) == q4d::HEADER_OK;
    for (const q4d::FrameRecord& frame : walk_frames(GAME_FRAMES)) {
      ok = ok && q4d::frame_write(plain, &frame) == q4d::FRAME_OK;
    }
    plain_bytes = std::ftell(plain);
    ok = ok && std::fflush(plain) == 0 && q4d::gzip_write_file(gzip_path.c_str(), plain) == q4d::GZIP_WRITE_OK;
  }
  ~Containers() {
    if (plain != nullptr) std::fclose(plain);
    std::remove(gzip_path.c_str());
  }
};

Containers& containers() {
  static Containers c;
  return c;
}

void BM_gzip_write_file(benchmark::State& state) {
  Containers& c = containers();
  if (!c.ok) state.SkipWithError("could not build the container");
  for (auto _ : state) {
    if (q4d::gzip_write_file(c.gzip_path.c_str(), c.plain) != q4d::GZIP_WRITE_OK) state.SkipWithError("gzip failed");
  }
  state.SetBytesProcessed(state.iterations() * c.plain_bytes);
}
BENCHMARK(BM_gzip_write_file)->Unit(benchmark::kMillisecond);

void BM_gzip_open_read(benchmark::State& state) {
  Containers& c = containers();
  if (!c.ok) state.SkipWithError("could not build the container");
  for (auto _ : state) {
    std::FILE* in = nullptr;
    if (q4d::gzip_open_read(c.gzip_path.c_str(), &in) != q4d::GZIP_READ_OK) {
      state.SkipWithError("gzip_open_read failed");
      break;
    }
    std::fclose(in);
  }
  state.SetBytesProcessed(state.iterations() * c.plain_bytes);
}
BENCHMARK(BM_gzip_open_read)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
