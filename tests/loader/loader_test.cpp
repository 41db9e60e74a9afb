// The loader: compact positions, and the position stream's shards, order
// and epochs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "frames/container.h"
#include "position/piece_list.h"
#include "loader/position_stream.h"
#include "position/fen4.h"
#include "position/ply_log.h"
#include "scratch_dir.h"
#include "test_boards.h"

namespace q4d {
namespace {

bool same_board(const Board4D& a, const Board4D& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(PieceList, RoundTrip) {
  std::mt19937 rng(5);
  std::vector<PieceWord> pieces;
  for (int n : {0, 1, 96, 1000, N_SQUARES}) {
    const Board4D board = test::random_board(rng, n);
    compact_board(board, &pieces);
    EXPECT_EQ(pieces.size(), static_cast<std::size_t>(n));
    Board4D back;
    std::memset(&back, 0x5A, sizeof back);
    expand_board(pieces.data(), pieces.size(), &back);
    EXPECT_TRUE(same_board(back, board)) << n << " pieces";
  }
  const PlyTrailer t{0x01020304u, {1, 2, 3, 4}, {5, 6, 7, 8}, 9, 255};
  unsigned char bytes[TRAILER_SIZE];
  trailer_to_bytes(t, bytes);
  const unsigned char expected[TRAILER_SIZE] = {4, 3, 2, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 255};
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
}

// Ply logs whose positions carry their identity in move_from: file, and line
// number in two bytes. Every third line has no ply, so its trailer takes the
// count of positions before it; metadata and bad lines are mixed in.
class PositionStreamTest : public test::ScratchDirTest {
 protected:
  struct Expected {
    Board4D board;
    PlyTrailer trailer;
  };

  void SetUp() override {
    ScratchDirTest::SetUp();
    std::mt19937 rng(3);
    for (int f = 0; f < 3; ++f) {
      const int lines = f == 1 ? 2 : 40 + 17 * f;  // one short file: most shards get none of it
      std::string log = "{\"bridge_version\": \"1.0\"}\n";
      for (int k = 0; k < lines; ++k) {
        const Board4D board = test::random_board(rng, (k * 13) % 70);
        std::string line = "{";
        if (k % 3 != 0) line += "\"ply\": " + std::to_string(k) + ", ";
        line += "\"fen4\": \"" + test::fen4_of(board) + "\", \"move_from\": [" + std::to_string(f) + ", " +
                std::to_string(k / 256) + ", " + std::to_string(k % 256) + ", 0]}\n";
        log += line;
        if (k % 11 == 5) log += "{\"fen4\": \"4d-fen v1: X@0,0,0,0\"}\n";
      }
      const std::string path = dir_ + "/game" + std::to_string(f) + ".ndjson4";
      test::write_bytes(path, test::Bytes(log.begin(), log.end()));
      paths.push_back(path);
    }
    // What encode reads from them.
    for (const std::string& path : paths) {
      PlyLogReader* reader = nullptr;
      ASSERT_EQ(ply_log_open(path.c_str(), PlyLogOptions{}, &reader, nullptr), OK);
      Expected e;
      for (Result r; (r = ply_log_next(reader, &e.board, &e.trailer, nullptr)) != END;) {
        if (r == OK) expected[id_of(e.trailer)] = e;
      }
      ply_log_close(reader);
    }
  }

  static int id_of(const PlyTrailer& t) { return t.move_from[0] * 65536 + t.move_from[1] * 256 + t.move_from[2]; }

  struct Batch {
    std::vector<int> ids;
    std::vector<float> values;
  };

  // Every batch of a stream, each position checked against the expected one.
  std::vector<Batch> run(PositionStreamOptions options, bool check_values = true) {
    options.sources = {{paths, 1.0}};
    PositionStream* stream = nullptr;
    EXPECT_EQ(position_stream_create(options, &stream, nullptr), OK);
    EXPECT_EQ(position_stream_begin(stream, 0, {}, nullptr), OK);
    std::vector<Batch> batches;
    std::vector<float> values(options.batch_size * ENCODING_DIM);
    BatchLabels labels;
    for (;;) {
      std::size_t n = 0;
      const Result r = position_stream_next(stream, values.data(), &labels, &n, nullptr);
      EXPECT_TRUE(r == OK || r == END) << r;
      if (r != OK) break;
      Batch batch;
      for (std::size_t k = 0; k < n; ++k) {
        const PlyTrailer& t = labels.trailers[k];
        const int id = id_of(t);
        batch.ids.push_back(id);
        const auto found = expected.find(id);
        if (found == expected.end()) {
          ADD_FAILURE() << "unknown position " << id;
          continue;
        }
        EXPECT_EQ(t.ply, found->second.trailer.ply) << id;
        if (check_values) {
          const auto v = test::encode(found->second.board);
          EXPECT_EQ(std::memcmp(&values[k * ENCODING_DIM], v->data(), sizeof *v), 0) << id;
        }
      }
      batch.values.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n * ENCODING_DIM));
      batches.push_back(std::move(batch));
    }
    position_stream_destroy(stream);
    return batches;
  }

  static std::vector<int> ids_of(const std::vector<Batch>& batches) {
    std::vector<int> ids;
    for (const Batch& b : batches) ids.insert(ids.end(), b.ids.begin(), b.ids.end());
    return ids;
  }

  std::vector<int> all_ids() const {
    std::vector<int> ids;
    for (const auto& [id, e] : expected) ids.push_back(id);
    return ids;
  }

  std::vector<std::string> paths;
  std::map<int, Expected> expected;
};

// However many shards, together they give every position exactly once, with
// the trailers (default plies included) that encode gives. With 100 shards
// every file is cut into 100 byte ranges, many of the short file's holding
// no line's first byte.
TEST_F(PositionStreamTest, ShardsSplitWithoutOverlap) {
  for (int n_shards : {1, 2, 3, 8, 100}) {
    for (std::size_t shuffle : {std::size_t{0}, std::size_t{10}}) {
      if (n_shards == 100 && shuffle > 0) continue;  // the shards of single bytes once are enough
      std::vector<int> ids;
      for (int shard = 0; shard < n_shards; ++shard) {
        PositionStreamOptions o;
        o.batch_size = 7;
        o.shuffle_buffer = shuffle;
        o.threads = 1;
        o.shard = shard;
        o.n_shards = n_shards;
        const std::vector<int> part = ids_of(run(o, n_shards == 3));
        ids.insert(ids.end(), part.begin(), part.end());
      }
      std::sort(ids.begin(), ids.end());
      EXPECT_EQ(ids, all_ids()) << n_shards << " shards, shuffle " << shuffle;
    }
  }
}

TEST_F(PositionStreamTest, SeedDecidesTheOrderThreadsDoNot) {
  PositionStreamOptions o;
  o.batch_size = 32;
  o.shuffle_buffer = 50;
  o.seed = 7;
  o.threads = 1;
  const std::vector<Batch> one = run(o);
  o.threads = 3;
  const std::vector<Batch> three = run(o, false);
  ASSERT_EQ(one.size(), three.size());
  for (std::size_t b = 0; b < one.size(); ++b) {
    EXPECT_EQ(one[b].ids, three[b].ids);
    EXPECT_EQ(one[b].values, three[b].values);
  }
  o.seed = 8;
  const std::vector<int> other = ids_of(run(o, false));
  EXPECT_NE(other, ids_of(one));
  EXPECT_NE(ids_of(one), all_ids());
  std::vector<int> sorted = ids_of(one);
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, all_ids());
}

TEST_F(PositionStreamTest, Errors) {
  PositionStreamOptions o;
  o.sources = {{{paths[0], dir_ + "/missing.ndjson4"}, 1.0}};
  PositionStream* stream = nullptr;
  Failure failure;
  EXPECT_EQ(position_stream_create(o, &stream, &failure), ERR_OPEN);
  EXPECT_EQ(failure.path, o.sources[0].paths[1]);
  EXPECT_EQ(failure.error_number, ENOENT);
  EXPECT_EQ(stream, nullptr);
  // A file gone by the time it is read: the failure, and the same from then on.
  const std::string gone = dir_ + "/gone.ndjson4";
  std::filesystem::copy_file(paths[0], gone);
  o.sources = {{{gone}, 1.0}};
  ASSERT_EQ(position_stream_create(o, &stream, &failure), OK);
  ASSERT_EQ(position_stream_begin(stream, 0, {}, &failure), OK);
  std::filesystem::remove(gone);
  std::vector<float> values(o.batch_size * ENCODING_DIM);
  BatchLabels labels;
  std::size_t n = 1;
  for (int twice = 0; twice < 2; ++twice) {
    failure = Failure{};
    EXPECT_EQ(position_stream_next(stream, values.data(), &labels, &n, &failure), ERR_OPEN);
    EXPECT_EQ(failure.path, gone);
    EXPECT_EQ(n, 0u);
  }
  position_stream_destroy(stream);

  o.sources = {{paths, 1.0}};
  using Change = void (*)(PositionStreamOptions&);
  const std::pair<Change, Result> bad[] = {
      {[](PositionStreamOptions& p) { p.batch_size = 0; }, ERR_ARGUMENT},
      {[](PositionStreamOptions& p) { p.shard = 2; }, ERR_ARGUMENT},
      {[](PositionStreamOptions& p) { p.n_shards = 0; }, ERR_ARGUMENT},
      {[](PositionStreamOptions& p) { p.threads = -1; }, ERR_ARGUMENT},
      {[](PositionStreamOptions& p) { p.threads = 100000; }, LOADER_ERR_THREADS},
      {[](PositionStreamOptions& p) { p.filter.keep_fraction = 0; }, ERR_ARGUMENT},
      {[](PositionStreamOptions& p) { p.sources.clear(); }, ERR_ARGUMENT},
      {[](PositionStreamOptions& p) { p.sources.push_back({p.sources[0].paths, 1e-17}); }, LOADER_ERR_WEIGHTS},
      {[](PositionStreamOptions& p) { p.sources[0].paths.push_back(p.sources[0].paths[0]); }, LOADER_ERR_DUPLICATE},
      // weights need sizes: logs cannot be mixed
      {[](PositionStreamOptions& p) { p.sources.push_back(p.sources[0]); }, LOADER_ERR_MIX_LOG},
  };
  for (const auto& [change, expected] : bad) {
    PositionStreamOptions p = o;
    p.n_shards = 2;
    change(p);
    EXPECT_EQ(position_stream_create(p, &stream, nullptr), expected);
    EXPECT_EQ(stream, nullptr);
  }
  EXPECT_EQ(position_stream_create(o, nullptr, nullptr), ERR_NULL);
  position_stream_destroy(nullptr);
}

class LogShards : public test::ScratchDirTest {};

// Many small files over 8 shards: whole files, balanced by size (the
// positions within 10%), and every shard reads its own files only (the bytes
// read add up to the files' bytes).
TEST_F(LogShards, ManySmallFilesBalanceAcrossShards) {
  std::vector<std::string> files;
  std::uint64_t total_bytes = 0;
  std::mt19937 rng(3);
  for (int f = 0; f < 800; ++f) {
    files.push_back(dir_ + "/small" + std::to_string(f) + ".ndjson4");
    std::FILE* out = std::fopen(files.back().c_str(), "wb");
    const int lines = 2 + static_cast<int>(rng() % 5);
    for (int k = 0; k < lines; ++k) {
      total_bytes += static_cast<std::uint64_t>(
          std::fprintf(out, "{\"ply\": %d, \"fen4\": \"4d-fen v1: K@%d,0,0,0; k@7,7,7,%d\"}\n", k, k, f % 7));
    }
    std::fclose(out);
  }
  std::uint64_t least = UINT64_MAX, most = 0, bytes = 0;
  for (std::uint32_t shard = 0; shard < 8; ++shard) {
    PositionStreamOptions o;
    o.sources = {{files, 1.0}};
    o.batch_size = 512;
    o.shuffle_buffer = 1000;
    o.threads = 1;
    o.shard = shard;
    o.n_shards = 8;
    PositionStream* stream = nullptr;
    ASSERT_EQ(position_stream_create(o, &stream, nullptr), OK);
    ASSERT_EQ(position_stream_begin(stream, 0, {}, nullptr), OK);
    std::vector<float> values(o.batch_size * ENCODING_DIM);
    BatchLabels labels;
    std::size_t n = 0;
    while (position_stream_next(stream, values.data(), &labels, &n, nullptr) == OK) {
    }
    PositionStreamStats stats;
    position_stream_stats(stream, &stats);
    position_stream_destroy(stream);
    least = std::min(least, stats.positions);
    most = std::max(most, stats.positions);
    bytes += stats.bytes_read;
  }
  EXPECT_LE(double(most), 1.1 * double(least));
  EXPECT_EQ(bytes, total_bytes);
}

}  // namespace
}  // namespace q4d
