// Packed datasets against the targets, side by side in one run:
//
//   pack_bench --log=GAMES.ndjson4 [Google Benchmark flags]
//
// GAMES is a ply log of several games with a per-ply "score" and a per-game
// "result" (bench/gen_game.py game --keys, concatenated). Reading and packing
// take it four times over, so that flushing the pack to the disk, once per
// pack, weighs as little as it does on a real corpus. Compared, per
// position:
//   BM_read_parse          the ply-log reader alone: reading and parsing every line into a board
//   BM_pack/threads        pack_write of the same log, the two keys included, on 1 and 2 threads
//   BM_text_to_pieces      reading and parsing the log into the loader's piece lists
//   BM_pack_to_pieces      decoding the packed blocks into the same piece lists
//   BM_encode_parsed/t     encoding those positions from boards already parsed, 256 at a time on t threads
//   BM_encode_packed/t     the same positions from the pack: blocks decoded, piece lists expanded, encoded
//   BM_open_index          opening a pack of a million positions (the log packed again and again): the index only
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codecs/codecs.h"
#include "dataset/pack_reader.h"
#include "dataset/pack_writer.h"
#include "encoder/encoder_pool.h"
#include "encoder/encoding.h"
#include "position/piece_list.h"
#include "position/ply_log.h"

namespace {

constexpr std::size_t ROWS = 256;

std::string log_path;
std::string scratch;  // a folder for the packs
std::uint64_t log_positions = 0;
std::vector<q4d::Board4D> boards;  // every position of the log, parsed
std::vector<std::string> scratch_files;

// n copies of `file` in the scratch folder: a pack refuses the same input twice.
std::vector<std::string> copies_of(const std::string& file, std::size_t n, const char* stem) {
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return {};
  std::string bytes;
  char chunk[1 << 16];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) bytes.append(chunk, got);
  std::fclose(in);
  std::vector<std::string> paths;
  for (std::size_t k = 0; k < n; ++k) {
    const std::string path = scratch + "/" + stem + "-" + std::to_string(k);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return {};
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written) return {};
    scratch_files.push_back(path);
    paths.push_back(path);
  }
  return paths;
}

std::string pack_of(const std::vector<std::string>& inputs, const char* name, int threads) {
  q4d::PackWriteOptions options;
  options.keys = {"score"};
  options.game_keys = {"result"};
  options.threads = threads;
  const std::string out = scratch + "/" + name;
  if (q4d::pack_write(inputs, out.c_str(), options, nullptr, nullptr, nullptr) != q4d::OK) return "";
  return out;
}

constexpr int ROUNDS_OF_LOG = 4;  // reading and packing take the log this many times over

void BM_read_parse(benchmark::State& state) {
  auto board = std::make_unique<q4d::Board4D>();
  for (auto _ : state) {
    for (int round = 0; round < ROUNDS_OF_LOG; ++round) {
      q4d::PlyLogReader* reader = nullptr;
      if (q4d::ply_log_open(log_path.c_str(), q4d::PlyLogOptions{}, &reader, nullptr) != q4d::OK) {
        state.SkipWithError("open");
      }
      q4d::PlyTrailer trailer;
      for (q4d::Result r; (r = q4d::ply_log_next(reader, board.get(), &trailer, nullptr)) != q4d::END;) {
        benchmark::DoNotOptimize(board.get());
      }
      q4d::ply_log_close(reader);
    }
  }
  state.SetItemsProcessed(state.iterations() * ROUNDS_OF_LOG * static_cast<std::int64_t>(log_positions));
}

void BM_pack(benchmark::State& state) {
  const std::vector<std::string> inputs = copies_of(log_path, ROUNDS_OF_LOG, "log");
  for (auto _ : state) {
    if (pack_of(inputs, "bench.q4pack", static_cast<int>(state.range(0))).empty()) state.SkipWithError("pack");
  }
  state.SetItemsProcessed(state.iterations() * ROUNDS_OF_LOG * static_cast<std::int64_t>(log_positions));
}

void BM_text_to_pieces(benchmark::State& state) {
  auto board = std::make_unique<q4d::Board4D>();
  std::vector<q4d::PieceWord> pieces;
  for (auto _ : state) {
    q4d::PlyLogReader* reader = nullptr;
    if (q4d::ply_log_open(log_path.c_str(), q4d::PlyLogOptions{}, &reader, nullptr) != q4d::OK)
      state.SkipWithError("open");
    q4d::PlyTrailer trailer;
    for (q4d::Result r; (r = q4d::ply_log_next(reader, board.get(), &trailer, nullptr)) != q4d::END;) {
      q4d::compact_board(*board, &pieces);
      benchmark::DoNotOptimize(pieces.data());
    }
    q4d::ply_log_close(reader);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(log_positions));
}

void BM_pack_to_pieces(benchmark::State& state) {
  const std::string path = pack_of({log_path}, "read.q4pack", 2);
  q4d::PackReader* reader = nullptr;
  if (q4d::pack_open(path.c_str(), &reader, nullptr) != q4d::OK) state.SkipWithError("open");
  q4d::PackBlock block;
  const auto n_blocks = static_cast<std::uint32_t>(q4d::pack_info(reader)->blocks.size());
  for (auto _ : state) {
    for (std::uint32_t k = 0; k < n_blocks; ++k) {
      if (q4d::pack_read_block(reader, k, &block, nullptr) != q4d::OK) state.SkipWithError("block");
      benchmark::DoNotOptimize(block.pieces.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(q4d::pack_info(reader)->n_positions));
  q4d::pack_close(reader);
}

void BM_encode_parsed(benchmark::State& state) {
  q4d::EncoderPool* pool = nullptr;
  if (q4d::encoder_pool_create(static_cast<int>(state.range(0)), &pool) != q4d::OK) state.SkipWithError("pool");
  std::vector<float> out(ROWS * q4d::ENCODING_DIM);
  for (auto _ : state) {
    for (std::size_t first = 0; first < boards.size(); first += ROWS) {
      const std::size_t n = std::min(ROWS, boards.size() - first);
      if (q4d::encoder_pool_encode(pool, &boards[first], n, out.data()) != q4d::OK) state.SkipWithError("encode");
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(boards.size()));
  q4d::encoder_pool_destroy(pool);
}

// What open_pack(p).encode_batch does for consecutive positions.
void BM_encode_packed(benchmark::State& state) {
  const std::string path = pack_of({log_path}, "encode.q4pack", 2);
  q4d::PackReader* reader = nullptr;
  if (q4d::pack_open(path.c_str(), &reader, nullptr) != q4d::OK) state.SkipWithError("open");
  const q4d::PackInfo& info = *q4d::pack_info(reader);
  q4d::EncoderPool* pool = nullptr;
  if (q4d::encoder_pool_create(static_cast<int>(state.range(0)), &pool) != q4d::OK) state.SkipWithError("pool");
  std::vector<float> out(ROWS * q4d::ENCODING_DIM);
  std::vector<q4d::Board4D> batch(ROWS);
  q4d::PackBlock block;
  for (auto _ : state) {
    std::int64_t cached = -1;
    for (std::uint64_t first = 0; first < info.n_positions; first += ROWS) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(ROWS, info.n_positions - first));
      for (std::size_t r = 0; r < n; ++r) {
        const std::uint32_t k = q4d::pack_block_of(info, first + r);
        if (k != cached && q4d::pack_read_block(reader, k, &block, nullptr) != q4d::OK) state.SkipWithError("block");
        cached = k;
        const std::size_t j = first + r - block.first_position;
        q4d::expand_board(block.pieces.data() + block.piece_start[j], block.piece_start[j + 1] - block.piece_start[j],
                          &batch[r]);
      }
      if (q4d::encoder_pool_encode(pool, batch.data(), n, out.data()) != q4d::OK) state.SkipWithError("encode");
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(info.n_positions));
  q4d::encoder_pool_destroy(pool);
  q4d::pack_close(reader);
}

void BM_open_index(benchmark::State& state) {
  // The log's copies gzip-compressed, to keep a million positions' worth of them small on the disk.
  const std::string gz = scratch + "/log.gz";
  std::FILE* plain = std::fopen(log_path.c_str(), "rb");
  const bool compressed = plain != nullptr && q4d::gzip_write_file(gz.c_str(), plain, nullptr) == q4d::OK;
  if (plain != nullptr) std::fclose(plain);
  scratch_files.push_back(gz);
  const std::vector<std::string> inputs =
      compressed ? copies_of(gz, static_cast<std::size_t>(1'000'000 / log_positions + 1), "gz") : std::vector<std::string>{};
  const std::string path = pack_of(inputs, "million.q4pack", 2);
  if (path.empty()) {
    state.SkipWithError("pack");
    return;
  }
  q4d::PackReader* reader = nullptr;
  for (auto _ : state) {
    if (q4d::pack_open(path.c_str(), &reader, nullptr) != q4d::OK) state.SkipWithError("open");
    benchmark::DoNotOptimize(q4d::pack_info(reader)->n_positions);
    q4d::pack_close(reader);
  }
  if (q4d::pack_open(path.c_str(), &reader, nullptr) == q4d::OK) {
    state.counters["positions"] = static_cast<double>(q4d::pack_info(reader)->n_positions);
    state.counters["blocks"] = static_cast<double>(q4d::pack_info(reader)->blocks.size());
    q4d::pack_close(reader);
  }
}

BENCHMARK(BM_read_parse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_pack)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_text_to_pieces)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_pack_to_pieces)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_encode_parsed)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_encode_packed)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_open_index)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--log=", 6) == 0) log_path = argv[i] + 6;
  }
  q4d::PlyLogReader* reader = nullptr;
  if (log_path.empty() || q4d::ply_log_open(log_path.c_str(), q4d::PlyLogOptions{}, &reader, nullptr) != q4d::OK) {
    std::fprintf(stderr, "usage: %s --log=GAMES.ndjson4 [benchmark flags]\n", argv[0]);
    return 2;
  }
  auto board = std::make_unique<q4d::Board4D>();
  q4d::PlyTrailer trailer;
  for (q4d::Result r; (r = q4d::ply_log_next(reader, board.get(), &trailer, nullptr)) != q4d::END;) {
    if (r == q4d::OK) boards.push_back(*board);
  }
  q4d::ply_log_close(reader);
  log_positions = boards.size();
  char folder[] = "/tmp/q4d-pack-bench-XXXXXX";
  if (log_positions == 0 || mkdtemp(folder) == nullptr) return 2;
  scratch = folder;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const char* name : {"bench.q4pack", "read.q4pack", "encode.q4pack", "million.q4pack"}) {
    std::remove((scratch + "/" + name).c_str());
  }
  for (const std::string& file : scratch_files) std::remove(file.c_str());
  rmdir(folder);
  return 0;
}
