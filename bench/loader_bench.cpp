// The C++ side of the Python package's speed targets: the plain loop over
// encode_position that encode_batch is measured against, and the library's
// FEN4 batch on one and two threads.
//
//   loader_bench --positions=PATH.ndjson4 [Google Benchmark flags]
//
// The positions are every position of the ply log, read as encode reads it
// (bench/python_bench.py writes the log and runs this beside the package).
// Each iteration encodes all of them, into a 256-row output reused in turn,
// as the package's benchmark does.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "encoder/encoder_pool.h"
#include "encoder/encoding.h"
#include "encoder/fen4_batch.h"
#include "position/fen4.h"
#include "position/ply_log.h"

namespace {

constexpr std::size_t ROWS = 256;

struct Positions {
  std::vector<q4d::Board4D> boards;
  std::vector<std::string> texts;
};

Positions positions;

bool load(const char* path) {
  q4d::PlyLogReader* reader = nullptr;
  if (q4d::ply_log_open(path, q4d::PlyLogOptions{}, &reader, nullptr) != q4d::OK) return false;
  auto board = std::make_unique<q4d::Board4D>();
  q4d::PlyTrailer trailer;
  for (q4d::Result r; (r = q4d::ply_log_next(reader, board.get(), &trailer, nullptr)) == q4d::OK ||
                      r == q4d::PLY_LOG_TOO_LONG || r == q4d::PLY_LOG_BAD_FEN4 || r == q4d::PAUSED;) {
    if (r != q4d::OK) continue;
    positions.boards.push_back(*board);
    positions.texts.emplace_back(q4d::ply_log_fen4(reader));
  }
  q4d::ply_log_close(reader);
  return !positions.boards.empty();
}

// encode_position over boards already parsed, in the order of their games
// (argument 0) or shuffled (1): consecutive positions of a game differ by a
// move, so in order the encoder finds more of its tables in cache.
void BM_encode_position_loop(benchmark::State& state) {
  std::vector<float> out(ROWS * q4d::ENCODING_DIM);
  auto workspace = std::make_unique<q4d::EncoderWorkspace>();
  std::vector<std::size_t> order(positions.boards.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  if (state.range(0) == 1) std::shuffle(order.begin(), order.end(), std::mt19937(1));
  for (auto _ : state) {
    for (std::size_t k = 0; k < order.size(); ++k) {
      (void)q4d::encode_positions(&positions.boards[order[k]], 1, out.data() + (k % ROWS) * q4d::ENCODING_DIM,
                                  workspace.get());
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(positions.boards.size()));
}

// The same from FEN4 text: parse_fen4, then encode_position.
void BM_parse_and_encode_loop(benchmark::State& state) {
  std::vector<float> out(ROWS * q4d::ENCODING_DIM);
  auto workspace = std::make_unique<q4d::EncoderWorkspace>();
  auto board = std::make_unique<q4d::Board4D>();
  for (auto _ : state) {
    for (std::size_t k = 0; k < positions.texts.size(); ++k) {
      if (q4d::parse_fen4(positions.texts[k].c_str(), board.get()) != q4d::OK) state.SkipWithError("parse");
      (void)q4d::encode_positions(board.get(), 1, out.data() + (k % ROWS) * q4d::ENCODING_DIM, workspace.get());
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(positions.texts.size()));
}

// The library under encode_batch: batches of 256 texts on a pool of N threads.
void BM_encode_fen4_batch(benchmark::State& state) {
  q4d::EncoderPool* pool = nullptr;
  if (q4d::encoder_pool_create(static_cast<int>(state.range(0)), &pool) != q4d::OK) state.SkipWithError("pool");
  std::vector<float> out(ROWS * q4d::ENCODING_DIM);
  std::vector<const char*> texts;
  std::vector<std::size_t> lengths;
  for (const std::string& t : positions.texts) {
    texts.push_back(t.c_str());
    lengths.push_back(t.size());
  }
  for (auto _ : state) {
    for (std::size_t first = 0; first < texts.size(); first += ROWS) {
      const std::size_t n = std::min(ROWS, texts.size() - first);
      if (q4d::encode_fen4_batch(pool, &texts[first], &lengths[first], n, out.data(), {}, nullptr) != q4d::OK) {
        state.SkipWithError("batch");
      }
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(texts.size()));
  q4d::encoder_pool_destroy(pool);
}

BENCHMARK(BM_encode_position_loop)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_parse_and_encode_loop)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_encode_fen4_batch)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--positions=", 12) == 0) path = argv[i] + 12;
  }
  if (path == nullptr || !load(path)) {
    std::fprintf(stderr, "usage: %s --positions=GAME.ndjson4 [benchmark flags] (a ply log with positions)\n", argv[0]);
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
