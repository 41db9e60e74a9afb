// Encoder throughput, and the roofline it is measured against.
//
// Every benchmark of a position size uses the same random boards (seeded by
// the piece count), so BM_encode_position/N reads directly as a ratio to
// BM_roofline/N.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "encoder/diagonal_deviation_kernels.h"
#include "encoder/encoding.h"
#include "encoder/tables/diagonal_deviation_table.h"
#include "encoder/value_field.h"
#include "test_boards.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

q4d::Board4D bench_board(int n_pieces) {
  std::mt19937 rng(static_cast<unsigned>(n_pieces) + 1);
  return q4d::test::random_board(rng, n_pieces);
}

// The channel-10 terms of a board: its pieces' table rows and values, in
// ascending square order.
std::vector<q4d::DiagonalTerm> diagonal_terms(const q4d::Board4D& board) {
  const auto& table = q4d::diagonal_deviation_table();
  q4d::ValueField field;
  q4d::build_value_field(board.pieces, field);
  std::vector<q4d::DiagonalTerm> terms;
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const int kind = q4d::piece_type_of(board.pieces[s]);
    if (kind >= 0) terms.push_back({table[kind].data(), field[s]});
  }
  return terms;
}

void BM_encode_position(benchmark::State& state) {
  const q4d::Board4D board = bench_board(static_cast<int>(state.range(0)));
  auto out = std::make_unique<q4d::EncodingVector>();
  for (auto _ : state) {
    q4d::encode_position(board, *out);
    benchmark::DoNotOptimize(out->data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_encode_position)->Arg(0)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);

void BM_diagonal_kernel(benchmark::State& state) {
  const std::vector<q4d::DiagonalTerm> terms = diagonal_terms(bench_board(static_cast<int>(state.range(0))));
  std::vector<float> out(q4d::CHANNEL_SIZE);
  const auto kernel = q4d::selected_diagonal_kernel();
  for (auto _ : state) {
    kernel(terms.data(), static_cast<int>(terms.size()), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_diagonal_kernel)->Arg(0)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);

// The roofline: the least work any implementation of the encoder must do for
// N pieces. That is N x 4096 fused multiply-adds into one accumulator of 4096
// doubles (channel 10), then rounding and storing all 45 056 floats; the ten
// other channels are rounded here from doubles already in L1 (`other`), as if
// they cost nothing to compute. It is written independently of the encoder's
// kernels, the fastest way this machine allows: blocks of the accumulator held
// in vector registers while every piece passes over them in square order,
// which keeps each element's sequence of fused operations as the encoding
// specifies it.
constexpr int OTHER_CHANNELS = q4d::N_CHANNELS - 1;

using RooflineKernel = void (*)(const q4d::DiagonalTerm*, int, const double*, float*);

void roofline_portable(const q4d::DiagonalTerm* terms, int n_terms, const double* other, float* out) {
  double acc[q4d::CHANNEL_SIZE] = {};
  for (int p = 0; p < n_terms; ++p) {
    for (int j = 0; j < q4d::CHANNEL_SIZE; ++j) acc[j] = std::fma(terms[p].row[j], terms[p].value, acc[j]);
  }
  for (int j = 0; j < q4d::CHANNEL_SIZE; ++j) out[q4d::channel_offset(q4d::CH_FD_DIAG) + j] = static_cast<float>(acc[j]);
  for (int c = 0; c < OTHER_CHANNELS; ++c) {
    for (int j = 0; j < q4d::CHANNEL_SIZE; ++j) out[q4d::channel_offset(c) + j] = static_cast<float>(other[c * q4d::CHANNEL_SIZE + j]);
  }
}

#if defined(__x86_64__)

// `other` holds OTHER_CHANNELS x BLOCK doubles: one block per channel, reused
// for every block of the channel.
__attribute__((target("avx512f"))) void roofline_avx512(const q4d::DiagonalTerm* terms, int n_terms,
                                                        const double* other, float* out) {
  constexpr int LANES = 8, REGS = 16, BLOCK = LANES * REGS;
  for (int base = 0; base < q4d::CHANNEL_SIZE; base += BLOCK) {
    __m512d acc[REGS];
    for (int r = 0; r < REGS; ++r) acc[r] = _mm512_setzero_pd();
    for (int p = 0; p < n_terms; ++p) {
      const __m512d value = _mm512_set1_pd(terms[p].value);
      const double* row = terms[p].row + base;
      for (int r = 0; r < REGS; ++r) acc[r] = _mm512_fmadd_pd(_mm512_loadu_pd(row + r * LANES), value, acc[r]);
    }
    float* diag = out + q4d::channel_offset(q4d::CH_FD_DIAG) + base;
    for (int r = 0; r < REGS; ++r) _mm256_storeu_ps(diag + r * LANES, _mm512_maskz_cvtpd_ps(0xFF, acc[r]));
    for (int c = 0; c < OTHER_CHANNELS; ++c) {
      for (int r = 0; r < REGS; ++r) {
        const __m512d v = _mm512_loadu_pd(other + c * BLOCK + r * LANES);
        _mm256_storeu_ps(out + q4d::channel_offset(c) + base + r * LANES, _mm512_maskz_cvtpd_ps(0xFF, v));
      }
    }
  }
}

__attribute__((target("avx2,fma"))) void roofline_avx2(const q4d::DiagonalTerm* terms, int n_terms,
                                                       const double* other, float* out) {
  constexpr int LANES = 4, REGS = 8, BLOCK = LANES * REGS;
  for (int base = 0; base < q4d::CHANNEL_SIZE; base += BLOCK) {
    __m256d acc[REGS];
    for (int r = 0; r < REGS; ++r) acc[r] = _mm256_setzero_pd();
    for (int p = 0; p < n_terms; ++p) {
      const __m256d value = _mm256_set1_pd(terms[p].value);
      const double* row = terms[p].row + base;
      for (int r = 0; r < REGS; ++r) acc[r] = _mm256_fmadd_pd(_mm256_loadu_pd(row + r * LANES), value, acc[r]);
    }
    float* diag = out + q4d::channel_offset(q4d::CH_FD_DIAG) + base;
    for (int r = 0; r < REGS; ++r) _mm_storeu_ps(diag + r * LANES, _mm256_cvtpd_ps(acc[r]));
    for (int c = 0; c < OTHER_CHANNELS; ++c) {
      for (int r = 0; r < REGS; ++r) {
        const __m256d v = _mm256_loadu_pd(other + c * BLOCK + r * LANES);
        _mm_storeu_ps(out + q4d::channel_offset(c) + base + r * LANES, _mm256_cvtpd_ps(v));
      }
    }
  }
}

#endif

struct Roofline {
  RooflineKernel run;
  int block;  // doubles of `other` per channel
};

Roofline fastest_roofline() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return {roofline_avx512, 128};
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return {roofline_avx2, 32};
#endif
  return {roofline_portable, q4d::CHANNEL_SIZE};
}

void BM_roofline(benchmark::State& state) {
  const q4d::Board4D board = bench_board(static_cast<int>(state.range(0)));
  const std::vector<q4d::DiagonalTerm> terms = diagonal_terms(board);
  const Roofline roofline = fastest_roofline();
  std::vector<double> other(static_cast<std::size_t>(OTHER_CHANNELS * roofline.block));
  for (std::size_t i = 0; i < other.size(); ++i) other[i] = 0.1 * static_cast<double>(i);
  auto out = std::make_unique<q4d::EncodingVector>();
  // The roofline does the encoder's channel-10 work exactly: same bits.
  roofline.run(terms.data(), static_cast<int>(terms.size()), other.data(), out->data());
  const auto encoded = q4d::test::encode(board);
  const std::size_t diag = q4d::channel_offset(q4d::CH_FD_DIAG);
  if (std::memcmp(out->data() + diag, encoded->data() + diag, q4d::CHANNEL_SIZE * sizeof(float)) != 0) {
    state.SkipWithError("roofline channel 10 differs from the encoder's");
  }
  for (auto _ : state) {
    roofline.run(terms.data(), static_cast<int>(terms.size()), other.data(), out->data());
    benchmark::DoNotOptimize(out->data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_roofline)->Arg(0)->Arg(32)->Arg(128)->Arg(512)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
