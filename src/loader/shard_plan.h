// The order of an epoch and how it is split among shards, as pure functions
// of the seed, the epoch and the shard layout: no state, no files, so that
// any point of any shard's sequence can be reached without replaying it.
//
// A source is a list of units (pack blocks, container files, log files or
// byte ranges of a large log). Each epoch orders the units by a seeded
// permutation; a shard's sequence is either a contiguous range of all the
// positions in that order, split by count (units whose counts are known), or
// the units given to the shard whole, balanced by size (logs). A shard's
// sequence is cut into windows of `window` positions and each window is
// read in a seeded permutation: the shuffle buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace q4d {

// SplitMix64: small, fast and the same everywhere, unlike the standard
// library's distributions.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n), by the high half of a 128-bit product.
  std::uint64_t below(std::uint64_t n) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
};

// A 64-bit hash of a list of words, for seeds and for keep/split decisions.
std::uint64_t hash_words(std::initializer_list<std::uint64_t> words);

// A uniform number in [0, 1) from a hash: below `fraction` keeps.
inline double unit_interval(std::uint64_t hash) { return static_cast<double>(hash >> 11) * 0x1.0p-53; }

// The key of one pass over a source: the epoch, and within it the pass of a
// source repeated in a mix (0 for the first).
inline std::uint64_t pass_key(std::uint64_t epoch, std::uint64_t pass) { return hash_words({epoch, pass}); }

// Units 0 .. n-1 in the order of the pass: a seeded permutation, or their
// own order when `shuffle` is false.
void unit_order(std::uint64_t seed, std::uint64_t key, std::size_t n, bool shuffle, std::vector<std::uint32_t>* order);

// Positions [begin, end) of `total`, split by count: every shard the same
// number, give or take one.
inline void shard_range(std::uint64_t total, std::uint32_t n_shards, std::uint32_t shard, std::uint64_t* begin,
                        std::uint64_t* end) {
  *begin = static_cast<std::uint64_t>(static_cast<unsigned __int128>(total) * shard / n_shards);
  *end = static_cast<std::uint64_t>(static_cast<unsigned __int128>(total) * (shard + 1) / n_shards);
}

// Units given whole to shards, balanced by size: the largest first, each to
// the shard with the fewest bytes so far (ties to the lower index). The
// result depends only on the sizes, so every shard computes the same.
void assign_units(const std::vector<std::uint64_t>& sizes, std::uint32_t n_shards, std::vector<std::uint32_t>* shard_of);

// The permutation of window `w` (of `length` positions) of shard `shard` of
// `n_shards`: output j of the window is its position perm[j]. Identity when
// `shuffle` is false.
void window_permutation(std::uint64_t seed, std::uint64_t key, std::uint32_t n_shards, std::uint32_t shard,
                        std::uint64_t w, std::uint32_t length, bool shuffle, std::vector<std::uint32_t>* perm);

// Part of one shard's output sequence: positions [from, to) of what shard
// `shard` of `n_shards` yields in an epoch. A shard's plan for an epoch is a
// list of these: its own sequence whole, or, after the layout changed
// mid-epoch, its share of the old shards' unseen tails.
inline constexpr std::uint64_t TO_END = UINT64_MAX;  // to the end of the shard's sequence (length not known)
struct ShardSegment {
  std::uint32_t n_shards = 1;
  std::uint32_t shard = 0;
  std::uint64_t from = 0;
  std::uint64_t to = TO_END;
};

// The plan of new shard `shard` of `n_shards` given the old shards' plans
// and how many positions of each the caller had received: the unseen tails
// concatenated, split by count when every length is known, else given whole
// to the new shards in turn.
std::vector<ShardSegment> reshard(const std::vector<std::vector<ShardSegment>>& plans,
                                  const std::vector<std::uint64_t>& received, std::uint32_t n_shards,
                                  std::uint32_t shard);

}  // namespace q4d
