// The position stream over packs (packed here from generated logs): shards by
// count, orders that mix and change each epoch, resuming in the same and in
// another layout, drop_last, filters and mixing. (The threaded-test step runs
// the one whose name says threads: the rest is the same code on one thread.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "encoder/encoding.h"
#include "dataset/pack_writer.h"
#include "loader/position_stream.h"
#include "position/piece_list.h"
#include "scratch_dir.h"
#include "test_boards.h"

namespace q4d {
namespace {

struct Output {
  std::vector<std::uint32_t> ids;  // plies: the position's number
  std::vector<std::size_t> batches;
  std::vector<std::uint8_t> sources;
  ShardState state;
};

class PackedStream : public test::ScratchDirTest {
 protected:
  static constexpr std::uint32_t N = 4001;

  // The board of position p: p % 9 + 1 pieces.
  static Board4D board_of(std::uint64_t p) {
    std::mt19937 rng(static_cast<std::uint32_t>(p));
    return test::random_board(rng, static_cast<int>(p % 9 + 1));
  }

  // Positions first .. first + n - 1 packed from a log, at most `block` a
  // block: position p has ply p, games of ten, the move (p - 1) & 7,0,0,0 ->
  // 0,0,0,1 (so the move played from p leaves p & 7,0,0,0) and the key
  // "result" p % 3, absent every seventh.
  std::string pack(const std::string& name, std::uint64_t first, std::uint64_t n, std::uint32_t block) {
    const std::string log = dir_ + "/" + name + ".ndjson4";
    std::FILE* f = std::fopen(log.c_str(), "w");
    for (std::uint64_t p = first; p < first + n; ++p) {
      if ((p - first) % 10 == 0) std::fputs("{\"bridge_version\": \"1.0\"}\n", f);
      std::string line = "{\"ply\": " + std::to_string(p) + ", \"fen4\": \"" + test::fen4_of(board_of(p)) +
                         "\", \"move_from\": [" + std::to_string((p - 1) & 7) + ", 0, 0, 0], \"move_to\": [0, 0, 0, 1]";
      if (p % 7 != 0) line += ", \"result\": " + std::to_string(p % 3);
      std::fputs((line + "}\n").c_str(), f);
    }
    std::fclose(f);
    PackWriteOptions options;
    options.keys = {"result"};
    options.block_positions = block;
    const std::string path = dir_ + "/" + name;
    Failure failure;
    EXPECT_EQ(pack_write({log}, path.c_str(), options, nullptr, nullptr, &failure), OK) << failure.path;
    return path;
  }
  // Two packs read as one source: positions 0 .. 2799 and 2800 .. 4000, in
  // some 540 blocks.
  void SetUp() override {
    test::ScratchDirTest::SetUp();
    paths = {pack("a.pack", 0, 2800, 6), pack("b.pack", 2800, 1201, 17)};
  }

  PositionStreamOptions options(std::uint32_t shard = 0, std::uint32_t n_shards = 1) const {
    PositionStreamOptions o;
    o.sources = {{paths, 1.0}};
    o.batch_size = 64;
    o.shuffle_buffer = 1000;
    o.seed = 5;
    o.threads = 2;
    o.shard = shard;
    o.n_shards = n_shards;
    return o;
  }

  // At most `max_batches` batches of `epoch`, from `saved`, values checked
  // against the encoder on the first batch when `check`.
  static Output run(const PositionStreamOptions& o, std::uint64_t epoch = 0, const std::vector<ShardState>& saved = {},
                 std::size_t max_batches = SIZE_MAX, bool check = false) {
    PositionStream* stream = nullptr;
    Failure failure;
    EXPECT_EQ(position_stream_create(o, &stream, &failure), OK) << failure.path;
    EXPECT_EQ(position_stream_begin(stream, epoch, saved, &failure), OK);
    std::vector<float> values(o.batch_size * ENCODING_DIM);
    BatchLabels labels;
    Output r;
    std::size_t n = 0;
    while (r.batches.size() < max_batches && position_stream_next(stream, values.data(), &labels, &n, &failure) == OK) {
      r.batches.push_back(n);
      for (std::size_t k = 0; k < n; ++k) {
        r.ids.push_back(labels.trailers[k].ply);
        r.sources.push_back(labels.source[k]);
        if (check && r.batches.size() == 1) {
          EXPECT_TRUE(test::same_bits(*test::encode(board_of(labels.trailers[k].ply)),
                                      *reinterpret_cast<const EncodingVector*>(&values[k * ENCODING_DIM])));
          const bool last_of_game = labels.trailers[k].ply % 10 == 9;
          EXPECT_EQ(labels.move_flags[k], PACK_HAS_MOVE | (last_of_game ? 0 : PACK_HAS_NEXT_MOVE));
          EXPECT_EQ(labels.next_moves[k].from[0], last_of_game ? 0u : labels.trailers[k].ply & 7);
          const float key = labels.keys[k];
          EXPECT_TRUE(labels.trailers[k].ply % 7 == 0 ? std::isnan(key) : key == float(labels.trailers[k].ply % 3));
        }
      }
    }
    position_stream_state(stream, &r.state);
    position_stream_destroy(stream);
    return r;
  }

  static std::vector<std::uint32_t> sorted(std::vector<std::uint32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  static std::vector<std::uint32_t> range(std::uint32_t n) {
    std::vector<std::uint32_t> v(n);
    std::iota(v.begin(), v.end(), 0u);
    return v;
  }

  std::vector<std::string> paths;
};

// Spearman's rank correlation of output order against position number.
double rank_correlation(const std::vector<std::uint32_t>& ids) {
  std::vector<std::uint32_t> by_id(ids.size());
  std::iota(by_id.begin(), by_id.end(), 0u);
  std::sort(by_id.begin(), by_id.end(), [&](std::uint32_t a, std::uint32_t b) { return ids[a] < ids[b]; });
  double d2 = 0;
  for (std::size_t rank = 0; rank < by_id.size(); ++rank) d2 += std::pow(double(rank) - double(by_id[rank]), 2);
  const double n = double(ids.size());
  return 1 - 6 * d2 / (n * (n * n - 1));
}

TEST_F(PackedStream, ShardsSplitByCountAndOrdersMixChangeAndIgnoreThreads) {
  std::vector<std::uint32_t> all, first_epoch_shard0;
  std::size_t least = SIZE_MAX, most = 0;
  for (std::uint32_t s = 0; s < 8; ++s) {
    const Output r = run(options(s, 8), 0, {}, SIZE_MAX, s == 0);
    least = std::min(least, r.ids.size());
    most = std::max(most, r.ids.size());
    all.insert(all.end(), r.ids.begin(), r.ids.end());
    if (s == 0) first_epoch_shard0 = r.ids;
  }
  EXPECT_LE(most - least, 1u);
  EXPECT_EQ(sorted(all), range(N));
  // Some 540 blocks in a seeded order: a correlation of about 1/sqrt(540)
  // either way, and neighbours in the output are rarely neighbours in the
  // packs (in a window of 1000 positions, about one in a thousand).
  EXPECT_LT(std::abs(rank_correlation(all)), 0.15);
  std::size_t neighbours = 0;
  for (std::size_t k = 1; k < all.size(); ++k) neighbours += all[k] == all[k - 1] + 1;
  EXPECT_LT(neighbours, all.size() / 100);
  // The next epoch: another order, the same for any thread count.
  PositionStreamOptions o = options(0, 8);
  const Output next = run(o, 1);
  EXPECT_NE(next.ids, first_epoch_shard0);
  o.threads = 1;
  EXPECT_EQ(run(o, 1).ids, next.ids);
  o.seed = 6;
  EXPECT_NE(run(o, 1).ids, next.ids);
  // Without a shuffle buffer: the packs' order.
  o.shuffle_buffer = 0;
  o.n_shards = 1;
  EXPECT_EQ(run(o).ids, range(N));
}

TEST_F(PackedStream, ResumesWhereTheCallerStopped) {
  PositionStreamOptions mixed = options(1, 3);
  mixed.sources.push_back({{pack("c.pack", 20000, 500, 50)}, 0.5});
  PositionStreamOptions filtered = options(1, 3);
  filtered.filter.keep_fraction = 0.5;
  filtered.filter.min_pieces = 3;
  for (const PositionStreamOptions& o : {options(1, 3), mixed, filtered}) {
    const Output whole = run(o, 2);
    for (std::size_t stop : {std::size_t{0}, std::size_t{9}, whole.batches.size() - 1}) {
      const Output head = run(o, 2, {}, stop);
      const Output tail = run(o, 99, {head.state});
      std::vector<std::uint32_t> joined = head.ids;
      joined.insert(joined.end(), tail.ids.begin(), tail.ids.end());
      EXPECT_EQ(joined, whole.ids) << stop << " of " << whole.batches.size() << ", " << o.sources.size() << " sources";
      EXPECT_EQ(tail.state.epoch, 2u);
    }
  }
}

TEST_F(PackedStream, AnotherLayoutReadsWhatNoShardHadReadExactlyOnce) {
  std::vector<std::uint32_t> seen;
  std::vector<ShardState> states;
  for (std::uint32_t s = 0; s < 4; ++s) {
    const Output r = run(options(s, 4), 3, {}, s * 9);  // shard 0 had read nothing
    seen.insert(seen.end(), r.ids.begin(), r.ids.end());
    states.push_back(r.state);
  }
  // Three shards read part of the rest, then two read what is left.
  std::vector<ShardState> again;
  std::size_t least = SIZE_MAX, most = 0;
  for (std::uint32_t s = 0; s < 3; ++s) {
    const Output whole = run(options(s, 3), 0, states);
    least = std::min(least, whole.ids.size());
    most = std::max(most, whole.ids.size());
    const Output r = run(options(s, 3), 0, states, 5 + s);
    EXPECT_EQ(r.state.epoch, 3u);
    seen.insert(seen.end(), r.ids.begin(), r.ids.end());
    again.push_back(r.state);
  }
  EXPECT_LE(most - least, 1u);
  for (std::uint32_t s = 0; s < 2; ++s) {
    const Output r = run(options(s, 2), 0, again);
    seen.insert(seen.end(), r.ids.begin(), r.ids.end());
  }
  EXPECT_EQ(sorted(seen), range(N));
}

// A shard that never reported (its state lost with its process) had read
// nothing of its layout: it starts where the layer below puts it, whatever
// the length its lost state may have said.
TEST_F(PackedStream, ShardsMissingFromALayerStartWhereTheLayerBelowPutsThem) {
  std::vector<std::uint32_t> seen;
  std::vector<ShardState> layers;
  for (std::uint32_t s = 0; s < 4; ++s) {
    const Output r = run(options(s, 4), 3, {}, 4);
    if (s == 2) continue;  // killed before its first batch reached the caller
    seen.insert(seen.end(), r.ids.begin(), r.ids.end());
    layers.push_back(r.state);
  }
  for (std::uint32_t s : {0u, 2u}) {  // a second layout, shard 1 lost
    const Output r = run(options(s, 3), 3, layers, 6);
    seen.insert(seen.end(), r.ids.begin(), r.ids.end());
    if (s == 2) layers.back().length = 0;  // a lying length, worked out again
    layers.push_back(r.state);
  }
  for (std::uint32_t s = 0; s < 2; ++s) {
    const Output r = run(options(s, 2), 3, layers);
    seen.insert(seen.end(), r.ids.begin(), r.ids.end());
  }
  EXPECT_EQ(sorted(seen), range(N));
  // States that do not fit: a shard twice in a layer, or sizes past the bounds.
  const ShardState good = layers.front();
  std::vector<std::vector<ShardState>> bad(4, {good});
  bad[0].push_back(good);
  bad[1][0].n_shards = UINT32_MAX;
  bad[2][0].plan.push_back({POSITION_STREAM_SHARDS_MAX + 1, 0, 0, 0});
  bad[3][0].sources.clear();
  PositionStream* stream = nullptr;
  ASSERT_EQ(position_stream_create(options(0, 2), &stream, nullptr), OK);
  for (const auto& states : bad) EXPECT_EQ(position_stream_begin(stream, 0, states, nullptr), LOADER_ERR_STATE);
  position_stream_destroy(stream);
}

TEST_F(PackedStream, DropLastGivesEveryShardTheSameFullBatches) {
  for (std::uint32_t n_shards : {3u, 8u}) {
    std::set<std::size_t> counts;
    for (std::uint32_t s = 0; s < n_shards; ++s) {
      PositionStreamOptions o = options(s, n_shards);
      o.drop_last = true;
      const Output r = run(o);
      counts.insert(r.batches.size());
      EXPECT_TRUE(std::all_of(r.batches.begin(), r.batches.end(), [](std::size_t n) { return n == 64; }));
    }
    EXPECT_EQ(counts, std::set<std::size_t>{N / n_shards / 64}) << n_shards;
  }
}

TEST_F(PackedStream, FiltersKeepWhatTheyDescribeWhateverTheLayout) {
  PositionStreamOptions o = options();
  o.filter.min_ply = 100;
  o.filter.max_ply = 3000;
  o.filter.min_pieces = 3;
  o.filter.max_pieces = 7;
  o.filter.required_keys = {"result"};
  std::vector<std::uint32_t> expected;
  for (std::uint32_t p = 100; p <= 3000; ++p) {
    if (p % 9 + 1 >= 3 && p % 9 + 1 <= 7 && p % 7 != 0) expected.push_back(p);
  }
  EXPECT_EQ(sorted(run(o).ids), expected);

  // keep_fraction: about the fraction, the same positions in any layout. The
  // decisions hash the logs' paths, in a new folder each run: 5 standard
  // deviations keep the bound from failing by chance.
  PositionStreamOptions k = options();
  k.filter.keep_fraction = 0.25;
  const std::vector<std::uint32_t> kept = sorted(run(k).ids);
  EXPECT_NEAR(double(kept.size()), 0.25 * N, 5 * std::sqrt(N * 0.25 * 0.75));
  std::vector<std::uint32_t> sharded;
  for (std::uint32_t s = 0; s < 3; ++s) {
    PositionStreamOptions ks = options(s, 3);
    ks.filter.keep_fraction = 0.25;
    const Output r = run(ks);
    sharded.insert(sharded.end(), r.ids.begin(), r.ids.end());
  }
  EXPECT_EQ(sorted(sharded), kept);

  // Splits: whole games, disjoint, together everything.
  std::set<std::uint32_t> train_games, val_games;
  PositionStreamOptions v = options();
  v.filter.val_fraction = 0.2;
  std::vector<std::uint32_t> both;
  for (SplitPart part : {SPLIT_TRAIN, SPLIT_VAL}) {
    v.filter.split = part;
    for (std::uint32_t id : run(v).ids) {
      both.push_back(id);
      // Games are numbered within each pack file.
      const std::uint32_t game = id < 2800 ? id / 10 : 100000 + (id - 2800) / 10;
      (part == SPLIT_TRAIN ? train_games : val_games).insert(game);
    }
  }
  EXPECT_EQ(sorted(both), range(N));
  for (std::uint32_t g : val_games) EXPECT_EQ(train_games.count(g), 0u);
  EXPECT_NEAR(double(val_games.size()), 0.2 * 401, 5 * std::sqrt(401 * 0.2 * 0.8));
}

TEST_F(PackedStream, MixesInProportionAndRepeatsTheSmaller) {
  PositionStreamOptions o = options();
  o.sources = {{paths, 0.75}, {{pack("small.pack", 50000, 600, 64)}, 0.25}};
  const Output r = run(o);
  // An epoch is one pass of the source that takes longest at its weight.
  std::vector<std::uint32_t> large, small;
  for (std::size_t k = 0; k < r.ids.size(); ++k) (r.sources[k] == 0 ? large : small).push_back(r.ids[k]);
  EXPECT_EQ(sorted(large), range(N));
  EXPECT_LE(std::abs(double(large.size()) - 0.75 * double(r.ids.size())), 1.0);
  // The small source's passes: each a permutation of it, each in a new order.
  ASSERT_GE(small.size(), 1200u);
  const std::vector<std::uint32_t> pass0(small.begin(), small.begin() + 600), pass1(small.begin() + 600, small.begin() + 1200);
  EXPECT_EQ(sorted(pass0), sorted(pass1));
  EXPECT_NE(pass0, pass1);
  EXPECT_EQ(r.state.sources[1].pass, small.size() / 600);
}

// Sources whose sizes are in proportion to their weights are each read whole,
// in every layout, whatever the scale of the weights.
TEST_F(PackedStream, SourcesInProportionToTheirWeightsAreReadWhole) {
  const std::vector<std::uint32_t> twin_ids = [] {
    std::vector<std::uint32_t> v(N);
    for (std::uint32_t k = 0; k < N; ++k) v[k] = 50000 + k;
    return v;
  }();
  const std::vector<std::string> twin = {pack("twin.pack", 50000, N, 64)}, half = {pack("half.pack", 50000, 2000, 64)};
  struct Case {
    const std::vector<std::string>* second;
    double w0, w1;
    std::size_t n_second;
  };
  for (const Case& c : {Case{&twin, 1, 1, N}, Case{&twin, 3, 3, N}, Case{&twin, 1e308, 1e308, N},
                        Case{&twin, 1e-320, 1e-320, N}, Case{&half, 2, 1, 2000}}) {
    for (const std::uint32_t n_shards : {1u, 4u}) {
      std::vector<std::uint32_t> ids[2];
      for (std::uint32_t shard = 0; shard < n_shards; ++shard) {
        PositionStreamOptions o = options(shard, n_shards);
        o.sources = {{paths, c.w0}, {*c.second, c.w1}};
        const Output r = run(o);
        for (std::size_t k = 0; k < r.ids.size(); ++k) ids[r.sources[k]].push_back(r.ids[k]);
      }
      EXPECT_EQ(sorted(ids[0]), range(N)) << c.w0 << " " << n_shards;
      EXPECT_EQ(sorted(ids[1]), std::vector<std::uint32_t>(twin_ids.begin(), twin_ids.begin() + c.n_second))
          << c.w0 << " " << n_shards;
    }
  }
}

TEST_F(PackedStream, SourcesThatAreNoneOfTheFormatsAreRefused) {
  const std::string text = dir_ + "/notes.txt";
  std::FILE* f = std::fopen(text.c_str(), "wb");
  std::fputs("hello", f);
  std::fclose(f);
  const std::string empty_pack = dir_ + "/empty.q4pack";  // named a pack: the pack reader's word
  std::fclose(std::fopen(empty_pack.c_str(), "wb"));
  PositionStream* stream = nullptr;
  Failure failure;
  PositionStreamOptions o = options();
  for (const auto& [path, expected] : std::vector<std::pair<std::string, Result>>{
           {text, LOADER_ERR_SOURCE}, {dir_, ERR_NOT_REGULAR}, {dir_ + "/missing", ERR_OPEN},
           {empty_pack, PACK_ERR_MAGIC}}) {
    o.sources = {{{paths[0], path}, 1.0}};
    EXPECT_EQ(position_stream_create(o, &stream, &failure), expected) << path;
    EXPECT_EQ(failure.path, path);
    EXPECT_EQ(stream, nullptr);
  }
  o = options();
  o.filter.required_keys = {"elo"};
  EXPECT_EQ(position_stream_create(o, &stream, &failure), LOADER_ERR_KEY);
  o = options();
  o.filter.min_ply = 5000;
  EXPECT_EQ(position_stream_create(o, &stream, &failure), LOADER_ERR_EMPTY);
}

}  // namespace
}  // namespace q4d
