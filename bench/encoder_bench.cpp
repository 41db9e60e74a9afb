// Encoder throughput, and the roofline it is measured against.
//
// Every benchmark of a board family and size uses the same seeded boards, so
// BM_encode_position/N/M reads directly as a ratio to BM_roofline/N/M. The
// second argument picks the family: 0 the tests' random mix, 1 the realistic
// mix (a third pawns, the rest spread over the other kinds).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "encoder/encoding.h"
#include "encoder/isa.h"
#include "encoder/stages.h"
#include "encoder/tables/diagonal_deviation_table.h"
#include "encoder/value_field.h"
#include "test_boards.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

q4d::Board4D bench_board(const benchmark::State& state) {
  const int n_pieces = static_cast<int>(state.range(0));
  std::mt19937 rng(static_cast<unsigned>(n_pieces) + 1);
  return state.range(1) == 0 ? q4d::test::random_board(rng, n_pieces) : q4d::test::realistic_board(rng, n_pieces);
}

void board_sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"pieces", "mix"});
  for (int n : {0, 32, 128, 512}) b->Args({n, 0});
  for (int n : {128, 300}) b->Args({n, 1});
  b->Unit(benchmark::kMicrosecond);
}

// The channel-10 terms of a board over the given rows: its pieces' kind rows
// and values, in ascending square order.
std::vector<q4d::DiagonalTerm> diagonal_terms(const q4d::Board4D& board, const double* const rows[]) {
  std::vector<q4d::DiagonalTerm> terms;
  for (int s = 0; s < q4d::N_SQUARES; ++s) {
    const int kind = q4d::piece_type_of(board.pieces[s]);
    if (kind < 0) continue;
    const double value = board.pieces[s] > 0x60 ? -q4d::piece_values[kind] : q4d::piece_values[kind];
    terms.push_back({rows[kind], value});
  }
  return terms;
}

std::vector<q4d::DiagonalTerm> encoder_terms(const q4d::Board4D& board) {
  const auto& table = q4d::diagonal_deviation_table();
  const double* rows[q4d::N_PIECE_TYPES];
  for (int k = 0; k < q4d::N_PIECE_TYPES; ++k) rows[k] = table[k].data();
  return diagonal_terms(board, rows);
}

void BM_diagonal_kernel(benchmark::State& state) {
  const std::vector<q4d::DiagonalTerm> terms = encoder_terms(bench_board(state));
  std::vector<float> out(q4d::CHANNEL_SIZE);
  const q4d::Isa isa = q4d::machine_isa();
  for (auto _ : state) {
    q4d::accumulate_diagonal_terms(isa, terms.data(), static_cast<int>(terms.size()), out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_diagonal_kernel)->Apply(board_sizes);

// The roofline: the least work any implementation of the encoder must do for
// N pieces. That is N x 4096 fused multiply-adds into one accumulator of 4096
// doubles (channel 10), then rounding and storing all 45 056 floats; the ten
// other channels are rounded here from doubles already in L1 (`other`), as if
// they cost nothing to compute. It is written independently of the encoder,
// on its own copy of the six kind rows aligned for the widest loads, the
// fastest way this machine allows: blocks of the accumulator held in vector
// registers while every piece passes over them in square order, which keeps
// each element's sequence of fused operations as the encoding specifies it.
constexpr int OTHER_CHANNELS = q4d::N_CHANNELS - 1;

struct alignas(64) RooflineRows {
  double row[q4d::N_PIECE_TYPES][q4d::CHANNEL_SIZE];
};

const RooflineRows& roofline_rows() {
  static const auto rows = [] {
    auto r = std::make_unique<RooflineRows>();
    const auto& table = q4d::diagonal_deviation_table();
    for (int k = 0; k < q4d::N_PIECE_TYPES; ++k) std::memcpy(r->row[k], table[k].data(), sizeof r->row[k]);
    return r;
  }();
  return *rows;
}

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
      for (int r = 0; r < REGS; ++r) acc[r] = _mm512_fmadd_pd(_mm512_load_pd(row + r * LANES), value, acc[r]);
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
      for (int r = 0; r < REGS; ++r) acc[r] = _mm256_fmadd_pd(_mm256_load_pd(row + r * LANES), value, acc[r]);
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

// The machine's peak rate of fused multiply-adds: independent chains held in
// registers, no memory traffic at all. Items are fused multiply-adds.
__attribute__((target("avx512f"), noinline)) double fma_peak_avx512(long iterations, double a, double b) {
  constexpr int REGS = 16;
  __m512d acc[REGS];
  for (int r = 0; r < REGS; ++r) acc[r] = _mm512_set1_pd(r);
  const __m512d scale = _mm512_set1_pd(a), shift = _mm512_set1_pd(b);
  for (long i = 0; i < iterations; ++i) {
    for (int r = 0; r < REGS; ++r) acc[r] = _mm512_fmadd_pd(acc[r], scale, shift);
  }
  __m512d sum = acc[0];
  for (int r = 1; r < REGS; ++r) sum = _mm512_add_pd(sum, acc[r]);
  double lanes[8];
  _mm512_storeu_pd(lanes, sum);
  return lanes[0] + lanes[7];
}

__attribute__((target("avx2,fma"), noinline)) double fma_peak_avx2(long iterations, double a, double b) {
  constexpr int REGS = 12;
  __m256d acc[REGS];
  for (int r = 0; r < REGS; ++r) acc[r] = _mm256_set1_pd(r);
  const __m256d scale = _mm256_set1_pd(a), shift = _mm256_set1_pd(b);
  for (long i = 0; i < iterations; ++i) {
    for (int r = 0; r < REGS; ++r) acc[r] = _mm256_fmadd_pd(acc[r], scale, shift);
  }
  __m256d sum = acc[0];
  for (int r = 1; r < REGS; ++r) sum = _mm256_add_pd(sum, acc[r]);
  double lanes[4];
  _mm256_storeu_pd(lanes, sum);
  return lanes[0] + lanes[3];
}

void BM_fma_peak(benchmark::State& state) {
  constexpr long ITERATIONS = 4096;
  __builtin_cpu_init();
  const bool avx512 = __builtin_cpu_supports("avx512f");
  if (!avx512 && !(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))) {
    state.SkipWithError("no vector fused multiply-add on this machine");
    return;
  }
  double scale = 0.999999, shift = 1e-9;
  for (auto _ : state) {
    // Unknown to the compiler at every call: nothing folds or moves out of the loop.
    benchmark::DoNotOptimize(scale);
    benchmark::DoNotOptimize(shift);
    benchmark::DoNotOptimize(avx512 ? fma_peak_avx512(ITERATIONS, scale, shift) : fma_peak_avx2(ITERATIONS, scale, shift));
  }
  state.SetItemsProcessed(state.iterations() * ITERATIONS * (avx512 ? 16 * 8 : 12 * 4));
}
BENCHMARK(BM_fma_peak);

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

// The roofline's run on one board: its terms over the bench's own rows, and
// the doubles the other channels are rounded from.
struct RooflineBoard {
  Roofline roofline = fastest_roofline();
  std::vector<q4d::DiagonalTerm> terms;
  std::vector<double> other;
  std::unique_ptr<q4d::EncodingVector> out = std::make_unique<q4d::EncodingVector>();

  explicit RooflineBoard(const q4d::Board4D& board) {
    const RooflineRows& own = roofline_rows();
    const double* rows[q4d::N_PIECE_TYPES];
    for (int k = 0; k < q4d::N_PIECE_TYPES; ++k) rows[k] = own.row[k];
    terms = diagonal_terms(board, rows);
    other.resize(static_cast<std::size_t>(OTHER_CHANNELS * roofline.block));
    for (std::size_t i = 0; i < other.size(); ++i) other[i] = 0.1 * static_cast<double>(i);
  }
  void run() {
    roofline.run(terms.data(), static_cast<int>(terms.size()), other.data(), out->data());
    benchmark::DoNotOptimize(out->data());
    benchmark::ClobberMemory();
  }
};

void BM_roofline(benchmark::State& state) {
  const q4d::Board4D board = bench_board(state);
  RooflineBoard roofline(board);
  // The roofline does the encoder's channel-10 work exactly: same bits.
  roofline.run();
  const auto encoded = q4d::test::encode(board);
  const std::size_t diag = q4d::channel_offset(q4d::CH_FD_DIAG);
  if (std::memcmp(roofline.out->data() + diag, encoded->data() + diag, q4d::CHANNEL_SIZE * sizeof(float)) != 0) {
    state.SkipWithError("roofline channel 10 differs from the encoder's");
  }
  for (auto _ : state) roofline.run();
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(roofline.terms.size()) * q4d::CHANNEL_SIZE);
}
BENCHMARK(BM_roofline)->Apply(board_sizes);

// encode_position on the board of BM_roofline/N/M. The encoder and the
// roofline take turns, eight runs each (each then finds its own tables in
// the cache, as when timed alone), so that the counter vs_roofline (the
// encoder's time over the roofline's, summed over the turns) compares the two
// under the same load: two cores that share their floating-point units move
// either figure by half from one moment to the next, their ratio taken side
// by side much less. The time is the encoder's alone, per run.
void BM_encode_position(benchmark::State& state) {
  constexpr int TURN = 16;
  const q4d::Board4D board = bench_board(state);
  auto out = std::make_unique<q4d::EncodingVector>();
  auto workspace = std::make_unique<q4d::EncoderWorkspace>();
  RooflineBoard roofline(board);
  using Clock = std::chrono::steady_clock;
  double encoder_seconds = 0, roofline_seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int k = 0; k < TURN; ++k) {
      q4d::encode_position(board, *out, *workspace);
      benchmark::DoNotOptimize(out->data());
      benchmark::ClobberMemory();
    }
    const auto encoded = Clock::now();
    for (int k = 0; k < TURN; ++k) roofline.run();
    const double seconds = std::chrono::duration<double>(encoded - start).count();
    encoder_seconds += seconds;
    roofline_seconds += std::chrono::duration<double>(Clock::now() - encoded).count();
    state.SetIterationTime(seconds / TURN);
  }
  state.counters["vs_roofline"] = encoder_seconds / roofline_seconds;
}
// Its own least time: each timed iteration also runs the roofline sixteen times.
BENCHMARK(BM_encode_position)->Apply(board_sizes)->UseManualTime()->MinTime(0.02);

}  // namespace

BENCHMARK_MAIN();
