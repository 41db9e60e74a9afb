// Channels 5-7: every knight, bishop, queen and king sums the value field over
// the squares it reaches on the empty board (its reach sum), weights that sum
// three ways, and adds each product to every square it reaches.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(Q4D_ISA_DISPATCH)
#include <immintrin.h>
#endif

#include "encoder/stages.h"
#include "encoder/tables/fiber_weights.h"
#include "encoder/tables/move_tables.h"
#include "encoder/tables/orbits.h"

namespace q4d {
namespace {

// A whole vector of entries may be stored past the last target.
static_assert(FIBER_TARGETS_ROOM >= MAX_MOVE_OFFSETS + 16);

// How a build lists a piece's targets (ascending, into room for
// FIBER_TARGETS_ROOM entries) and sums the field over them.
struct PortableTargets {
  static int list(int kind, int s, std::int32_t* targets) {
    int n = 0;
    for_each_move_target(kind, s, [&](int t) { targets[n++] = t; });
    return n;
  }

  // Values are multiples of 0.25 no larger than 12, so every partial sum of
  // a reach set is exact: any grouping gives the bits of one sum taken in
  // target order. Four interleaved sums keep four additions in flight.
  static double reach_sum(const double* field, const std::int32_t* targets, int n) {
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
      a = a + field[targets[i]];
      b = b + field[targets[i + 1]];
      c = c + field[targets[i + 2]];
      d = d + field[targets[i + 3]];
    }
    for (; i < n; ++i) a = a + field[targets[i]];
    return (a + b) + (c + d);
  }
};

#if defined(Q4D_ISA_DISPATCH)

// For each byte of on-board bits, the lanes of its set bits in ascending
// order (an 8-lane left-pack, which AVX2 lacks as an instruction).
constexpr std::array<std::uint64_t, 256> LEFT_PACK = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned bits = 0; bits < 256; ++bits) {
    int n = 0;
    for (int lane = 0; lane < 8; ++lane) {
      if (bits >> lane & 1) table[bits] |= std::uint64_t(lane) << (8 * n++);
    }
  }
  return table;
}();

// Eight move offsets at a time: the on-board ones are packed in order by a
// permutation looked up from their bits.
struct Avx2Targets : PortableTargets {
  Q4D_TARGET_AVX2 static int list(int kind, int s, std::int32_t* targets) {
    const MoveSet& set = move_sets[kind];
    const MoveMask& mx = set.on_board[0][square_coord(s, 0)];
    const MoveMask& my = set.on_board[1][square_coord(s, 1)];
    const MoveMask& mz = set.on_board[2][square_coord(s, 2)];
    const MoveMask& mw = set.on_board[3][square_coord(s, 3)];
    const __m256i square = _mm256_set1_epi32(s);
    int n = 0;
    for (int word = 0; word * 64 < set.count; ++word) {
      const std::uint64_t on_board = mx[word] & my[word] & mz[word] & mw[word];
      for (int eighth = 0; eighth < 8 && 64 * word + 8 * eighth < set.count; ++eighth) {
        const auto lanes = static_cast<unsigned>(on_board >> (8 * eighth)) & 0xFF;
        const __m256i delta = _mm256_load_si256(reinterpret_cast<const __m256i*>(set.delta.data() + 64 * word + 8 * eighth));
        const __m256i order = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(LEFT_PACK[lanes])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(targets + n),
                            _mm256_permutevar8x32_epi32(_mm256_add_epi32(delta, square), order));
        n += std::popcount(lanes);
      }
    }
    return n;
  }
};

// Sixteen move offsets at a time: the on-board ones are packed in order by
// one compress instruction. Reach sums stay the portable ones: scalar loads
// beat gathers here, four of them issuing per cycle.
struct Avx512Targets : PortableTargets {
  Q4D_TARGET_AVX512 static int list(int kind, int s, std::int32_t* targets) {
    const MoveSet& set = move_sets[kind];
    const MoveMask& mx = set.on_board[0][square_coord(s, 0)];
    const MoveMask& my = set.on_board[1][square_coord(s, 1)];
    const MoveMask& mz = set.on_board[2][square_coord(s, 2)];
    const MoveMask& mw = set.on_board[3][square_coord(s, 3)];
    const __m512i square = _mm512_set1_epi32(s);
    int n = 0;
    for (int word = 0; word * 64 < set.count; ++word) {
      const std::uint64_t on_board = mx[word] & my[word] & mz[word] & mw[word];
      for (int quarter = 0; quarter < 4 && 64 * word + 16 * quarter < set.count; ++quarter) {
        const auto lanes = static_cast<__mmask16>(on_board >> (16 * quarter));
        const __m512i delta = _mm512_load_si512(set.delta.data() + 64 * word + 16 * quarter);
        _mm512_storeu_si512(targets + n, _mm512_maskz_compress_epi32(lanes, _mm512_add_epi32(delta, square)));
        n += std::popcount(static_cast<unsigned>(lanes));
      }
    }
    return n;
  }
};

#endif

// Adds every piece's three products to its targets' sums, in ascending order
// of the pieces' squares. No fused operation anywhere. Pieces go in chunks:
// all lists of a chunk are written before the first is read back, so the
// reads do not wait on the stores that just made them.
template <class Targets>
void spread_products(const StageBoard* in, FiberScratch* scratch) {
  const PieceLetters& pieces = in->board.pieces;
  const double* field = in->field.data();
  struct Listed {
    int square;
    int fiber_kind;
    int n_targets;
  };
  Listed chunk[FIBER_CHUNK];
  int n_listed = 0;
  auto spread_chunk = [&] {
    for (int c = 0; c < n_listed; ++c) {
      const std::int32_t* targets = scratch->targets[c];
      const int n = chunk[c].n_targets;
      const double reach_sum = Targets::reach_sum(field, targets, n);
      // The float32 weight widened to double (the decimal read as a double
      // would give other bits).
      const float* weight = fiber_weights[orbit_tables.square_orbit[chunk[c].square]][chunk[c].fiber_kind];
      const FiberSums product = {reach_sum * static_cast<double>(weight[0]),
                                 reach_sum * static_cast<double>(weight[1]),
                                 reach_sum * static_cast<double>(weight[2]), 0.0};
      FiberSums* sums = scratch->sums;
      for (int i = 0; i < n; ++i) {
        FiberSums& sum = sums[fiber_slot(targets[i])];
        sum = product + sum;
      }
    }
    n_listed = 0;
  };
  for (const int s : in->occupied) {
    const int fiber_kind = fiber_kind_of(pieces[s]);
    if (fiber_kind < 0) continue;
    const int n = Targets::list(piece_type_of(pieces[s]), s, scratch->targets[n_listed]);
    chunk[n_listed++] = {s, fiber_kind, n};
    if (n_listed == FIBER_CHUNK) spread_chunk();
  }
  spread_chunk();
}

// Component c of target t, sums[t][c], goes to out[4096c + t].
void round_fiber_sums(const FiberSums* sums, float* out) {
  for (int t = 0; t < N_SQUARES; ++t) {
    for (int c = 0; c < N_FIBER_COMPONENTS; ++c) out[c * CHANNEL_SIZE + t] = static_cast<float>(sums[fiber_slot(t)][c]);
  }
}

#if defined(Q4D_ISA_DISPATCH)

// Four targets at a time, their sums transposed to one register per
// component; the conversion rounds as the scalar one does.
Q4D_TARGET_AVX2 void round_fiber_sums_avx2(const FiberSums* sums, float* out) {
  for (int t = 0; t < N_SQUARES; t += 4) {
    const FiberSums* at = sums + fiber_slot(t);  // four slots in a row: 128 is a multiple of 4
    const __m256d a = at[0], b = at[1], c = at[2], d = at[3];
    const __m256d ab_even = _mm256_unpacklo_pd(a, b), ab_odd = _mm256_unpackhi_pd(a, b);  // a0 b0 a2 b2, a1 b1 a3 b3
    const __m256d cd_even = _mm256_unpacklo_pd(c, d), cd_odd = _mm256_unpackhi_pd(c, d);
    _mm_storeu_ps(out + t, _mm256_cvtpd_ps(_mm256_permute2f128_pd(ab_even, cd_even, 0x20)));
    _mm_storeu_ps(out + CHANNEL_SIZE + t, _mm256_cvtpd_ps(_mm256_permute2f128_pd(ab_odd, cd_odd, 0x20)));
    _mm_storeu_ps(out + 2 * CHANNEL_SIZE + t, _mm256_cvtpd_ps(_mm256_permute2f128_pd(ab_even, cd_even, 0x31)));
  }
}

#endif

}  // namespace

void encode_cross_piece_fiber(Isa isa, const StageBoard& in, ChannelSlice<3> out, FiberScratch& scratch) {
  // The three components are independent sums; they share the reach sums and
  // run in one sweep, each element still receiving its products in ascending
  // order of the pieces' squares.
  std::memset(scratch.sums, 0, sizeof scratch.sums);
#if defined(Q4D_ISA_DISPATCH)
  if (isa == ISA_AVX512) {
    run_avx512<spread_products<Avx512Targets>>(&in, &scratch);
  } else if (isa == ISA_AVX2) {
    run_avx2<spread_products<Avx2Targets>>(&in, &scratch);
  } else
#endif
  {
    spread_products<PortableTargets>(&in, &scratch);
  }
#if defined(Q4D_ISA_DISPATCH)
  if (isa != ISA_PORTABLE) return round_fiber_sums_avx2(scratch.sums, out.data());
#endif
  (void)isa;
  round_fiber_sums(scratch.sums, out.data());
}

}  // namespace q4d
