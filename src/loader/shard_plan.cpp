#include "loader/shard_plan.h"

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>
#include <utility>

namespace q4d {

std::uint64_t hash_words(std::initializer_list<std::uint64_t> words) {
  Random r{0x6A09E667F3BCC909u};
  for (std::uint64_t w : words) r.state = r.next() ^ w;
  return r.next();
}

void unit_order(std::uint64_t seed, std::uint64_t key, std::size_t n, bool shuffle, std::vector<std::uint32_t>* order) {
  order->resize(n);
  std::iota(order->begin(), order->end(), 0u);
  if (!shuffle) return;
  Random r{hash_words({seed, key, 0x756E697473u})};
  for (std::size_t k = n; k > 1; --k) std::swap((*order)[k - 1], (*order)[r.below(k)]);
}

void assign_units(const std::vector<std::uint64_t>& sizes, std::uint32_t n_shards, std::vector<std::uint32_t>* shard_of) {
  std::vector<std::uint32_t> by_size(sizes.size());
  std::iota(by_size.begin(), by_size.end(), 0u);
  std::stable_sort(by_size.begin(), by_size.end(), [&](std::uint32_t a, std::uint32_t b) { return sizes[a] > sizes[b]; });
  // The least loaded shard first, the lower index on ties.
  using Load = std::pair<std::uint64_t, std::uint32_t>;
  std::priority_queue<Load, std::vector<Load>, std::greater<Load>> loads;
  for (std::uint32_t s = 0; s < n_shards; ++s) loads.push({0, s});
  shard_of->assign(sizes.size(), 0);
  for (std::uint32_t u : by_size) {
    auto [load, least] = loads.top();
    loads.pop();
    (*shard_of)[u] = least;
    loads.push({load + std::max<std::uint64_t>(sizes[u], 1), least});  // empty files still take a turn
  }
}

void window_permutation(std::uint64_t seed, std::uint64_t key, std::uint32_t n_shards, std::uint32_t shard,
                        std::uint64_t w, std::uint32_t length, bool shuffle, std::vector<std::uint32_t>* perm) {
  perm->resize(length);
  std::iota(perm->begin(), perm->end(), 0u);
  if (!shuffle) return;
  Random r{hash_words({seed, key, n_shards, shard, w})};
  for (std::uint32_t k = length; k > 1; --k) std::swap((*perm)[k - 1], (*perm)[r.below(k)]);
}

std::vector<ShardSegment> reshard(const std::vector<std::vector<ShardSegment>>& plans,
                                  const std::vector<std::uint64_t>& received, std::uint32_t n_shards,
                                  std::uint32_t shard) {
  // Every old plan from its count on, in the order of the old shards.
  std::vector<ShardSegment> tails;
  bool counted = true;
  for (std::size_t p = 0; p < plans.size(); ++p) {
    std::uint64_t skip = received[p];
    for (ShardSegment segment : plans[p]) {
      const std::uint64_t length = segment.to == TO_END ? TO_END : segment.to - segment.from;
      if (length != TO_END && skip >= length) {
        skip -= length;
        continue;
      }
      segment.from += skip;
      skip = 0;
      if (segment.to == TO_END) counted = false;
      tails.push_back(segment);
    }
  }
  std::vector<ShardSegment> mine;
  if (!counted) {
    for (std::size_t t = shard; t < tails.size(); t += n_shards) mine.push_back(tails[t]);
    return mine;
  }
  std::uint64_t total = 0;
  for (const ShardSegment& t : tails) total += t.to - t.from;
  std::uint64_t begin = 0, end = 0;
  shard_range(total, n_shards, shard, &begin, &end);
  std::uint64_t at = 0;  // of the first position of the tail in the concatenation
  for (const ShardSegment& t : tails) {
    const std::uint64_t length = t.to - t.from;
    const std::uint64_t lo = std::max(begin, at), hi = std::min(end, at + length);
    if (lo < hi) mine.push_back({t.n_shards, t.shard, t.from + (lo - at), t.from + (hi - at)});
    at += length;
  }
  return mine;
}

}  // namespace q4d
