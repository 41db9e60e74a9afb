// Encoder throughput, and the roofline it is measured against.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "encoder/diagonal_deviation_kernels.h"
#include "encoder/encoding.h"
#include "encoder/tables/diagonal_deviation_table.h"
#include "encoder/value_field.h"
#include "test_boards.h"

namespace {

void BM_encode_position(benchmark::State& state) {
  std::mt19937 rng(static_cast<unsigned>(state.range(0)) + 1);
  const q4d::Board4D board = q4d::test::random_board(rng, static_cast<int>(state.range(0)));
  auto out = std::make_unique<q4d::EncodingVector>();
  for (auto _ : state) {
    q4d::encode_position(board, *out);
    benchmark::DoNotOptimize(out->data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_encode_position)->Arg(0)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);

void BM_diagonal_kernel(benchmark::State& state) {
  std::mt19937 rng(static_cast<unsigned>(state.range(0)) + 1);
  const q4d::Board4D board = q4d::test::random_board(rng, static_cast<int>(state.range(0)));
  const auto& table = q4d::diagonal_deviation_table();
  q4d::ValueField field;
  q4d::build_value_field(board.pieces, field);
  std::vector<q4d::DiagonalTerm> terms;
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const int kind = q4d::piece_type_of(board.pieces[s]);
    if (kind >= 0) terms.push_back({table[kind].data(), field[s]});
  }
  std::vector<float> out(q4d::CHANNEL_SIZE);
  const auto kernel = q4d::selected_diagonal_kernel();
  for (auto _ : state) {
    kernel(terms.data(), static_cast<int>(terms.size()), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_diagonal_kernel)->Arg(0)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
