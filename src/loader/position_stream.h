// Batches of encoded positions with their labels, for training loops.
//
// A stream reads one shard of one or more sources (loader/source.h) epoch by
// epoch. Each epoch's order is a pure function of the seed, the epoch and the
// shard layout (loader/shard_plan.h), so a stream can start at any point of
// any epoch without reading what comes before: the state after a batch is
// the epoch and how many positions the caller has received, and a stream
// given that state yields exactly what would have followed. Positions are
// held as piece lists, one shuffle window at a time, and each batch is
// encoded on a pool of threads into memory the caller provides; nothing
// depends on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "dataset/pack_reader.h"
#include "encoder/encoding.h"
#include "loader/shard_plan.h"
#include "loader/source.h"

namespace q4d {

struct PositionStream;

// The most shards of a layout, and the furthest apart a mix's weights may be.
inline constexpr std::uint32_t POSITION_STREAM_SHARDS_MAX = 1u << 16;
inline constexpr double MIX_RATIO_MAX = 0x1p32;

struct StreamSource {
  std::vector<std::string> paths;  // read as one dataset
  double weight = 1.0;             // its share of a mix
};

struct PositionStreamOptions {
  std::vector<StreamSource> sources;  // two or more: a mix in proportion to the weights
  std::size_t batch_size = 256;
  std::size_t shuffle_buffer = 0;     // positions of a window; 0: units and positions in order
  std::uint64_t seed = 0;
  int threads = 0;                    // 0: one per available processor; at most shared_pool_thread_limit()
  std::uint32_t shard = 0;            // this stream reads shard `shard` of `n_shards`
  std::uint32_t n_shards = 1;
  bool drop_last = false;             // counted sources: every shard the same number of full batches
  EncodingDtype dtype = DTYPE_FLOAT32;  // of the values written
  PositionFilter filter;
};

// Where a shard stands in an epoch, counting what the caller has received.
struct SourceState {
  std::uint64_t pass = 0;      // passes of this source completed in the epoch (a mix repeats the smaller)
  std::uint64_t received = 0;  // positions of the current pass received
};
struct ShardState {
  std::uint32_t n_shards = 1;
  std::uint32_t shard = 0;
  std::uint64_t epoch = 0;
  std::uint64_t received = 0;          // positions of the epoch received
  std::uint64_t length = 0;            // positions this shard yields in the epoch (0: not known in advance)
  std::uint64_t least_length = 0;      // the shortest shard's length in this layout (for drop_last)
  std::vector<ShardSegment> plan;      // after a change of layout: the segments this shard reads
  std::vector<SourceState> sources;
};

// The labels of a batch, one entry per position.
struct BatchLabels {
  std::vector<PlyTrailer> trailers;       // the move that led to the position
  std::vector<PackMove> next_moves;       // the move played from it
  std::vector<std::uint8_t> move_flags;   // PACK_HAS_MOVE | PACK_HAS_NEXT_MOVE
  std::vector<float> keys;                // n x position_stream_keys(), NaN where absent
  std::vector<std::uint8_t> source;       // which source of a mix
};

struct PositionStreamStats {
  std::uint64_t positions = 0;       // yielded so far
  std::uint64_t batches = 0;
  std::uint64_t lines_too_long = 0;  // log lines whose fen4 string does not fit (skipped, as encode does)
  std::uint64_t fen4_errors = 0;     // log lines whose fen4 string does not parse (skipped)
  std::uint64_t bytes_read = 0;      // stored bytes of blocks, lines or frames read
  std::size_t buffered = 0;          // positions in the shuffle window now
  std::uint64_t epoch = 0;
  double read_seconds = 0;           // reading, decompressing and parsing
  double assemble_seconds = 0;       // expanding piece lists and copying labels
  double encode_seconds = 0;         // encoding on the pool
};

// Opens every source (reading pack indexes and container headers, and
// counting what the filter keeps in packs) and starts the threads.
Result position_stream_create(const PositionStreamOptions& options, PositionStream** stream, Failure* failure);

// The names of the label keys, the columns of BatchLabels::keys.
const std::vector<std::string>& position_stream_keys(const PositionStream* stream);

// Starts `epoch`. With `saved` empty, from its beginning. Otherwise `saved`
// is a list of layers, each a run of states of one layout (any shards of it,
// each once): a shard missing from a layer had read nothing in that layout
// and starts where the layer below puts it (the first lies over a fresh
// start of `epoch`). This shard takes its own state from the last layer, or,
// when the last layer is of another layout, reads its share of what that
// layout's shards had not yet received (their oldest epoch). A state's
// lengths are worked out again, never trusted. LOADER_ERR_STATE when a state
// does not fit the stream, LOADER_ERR_MIX_LAYOUT when a mix would change its
// layout within an epoch.
Result position_stream_begin(PositionStream* stream, std::uint64_t epoch, const std::vector<ShardState>& saved,
                             Failure* failure);

// Encodes the next batch of the epoch into `values` (batch_size rows of
// encoding_bytes(dtype), written around the caches) and its labels; *n is its
// size. END when the epoch is
// over (a batch never spans two). After a failure the stream returns it
// from then on.
Result position_stream_next(PositionStream* stream, void* values, BatchLabels* labels, std::size_t* n,
                            Failure* failure);

// The state after the last batch returned.
void position_stream_state(const PositionStream* stream, ShardState* state);

void position_stream_stats(const PositionStream* stream, PositionStreamStats* stats);

// Closes the files, stops the threads and frees everything. Null is ignored.
void position_stream_destroy(PositionStream* stream);

}  // namespace q4d
