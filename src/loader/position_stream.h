// Batches of encoded positions from NDJSON4 ply logs, for training loops.
//
// A stream reads its shard of the positions of a list of ply logs, keeps them
// compact (position/piece_list.h) in a shuffle buffer, and encodes one
// batch at a time on a pool of threads into memory the caller provides.
//
// Shards split every file by bytes: shard s of n reads the lines that start
// in bytes [size * s / n, size * (s + 1) / n) of each file, so each position
// goes to exactly one shard and no shard reads more than its share. Positions
// and their trailers are the ones `encode` reads from the same files, default
// plies included. The order of the positions depends on the seed, on which
// pass over the files it is, and on the shard; never on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace q4d {

struct PositionStream;

struct PositionStreamOptions {
  std::vector<std::string> paths;  // ply logs, regular files
  std::size_t batch_size = 256;
  std::size_t shuffle_buffer = 0;  // positions; 0 reads files and lines in order
  std::uint64_t seed = 0;
  int threads = 0;                 // 0: one per available processor
  int epochs = 1;
  int shard = 0;                   // this stream reads shard `shard` of `n_shards`
  int n_shards = 1;
};

struct PositionStreamStats {
  std::uint64_t positions = 0;       // yielded so far
  std::uint64_t batches = 0;
  std::uint64_t lines_too_long = 0;  // lines whose fen4 string does not fit (skipped, as encode does)
  std::uint64_t fen4_errors = 0;     // lines whose fen4 string does not parse (skipped)
  std::size_t buffered = 0;          // positions in the shuffle buffer now
  int epoch = 0;                     // the epoch being read, from 0
  double read_seconds = 0;           // reading, parsing and shuffling
  double encode_seconds = 0;         // encoding on the pool
};

enum PositionStreamResult {
  STREAM_OK = 0,
  STREAM_ERR_NULL = -1,
  STREAM_ERR_OPTIONS = -2,  // batch size 0, epochs < 0, threads < 0, or shard not in [0, n_shards)
  STREAM_ERR_THREADS = -3,  // the encoding threads could not be started
  STREAM_ERR_OPEN = -4,     // a file cannot be opened: see position_stream_failure
  STREAM_ERR_READ = -5,     // a file reports a read error or cannot be positioned
  STREAM_ERR_ALLOC = -6,
};

int position_stream_create(const PositionStreamOptions& options, PositionStream** stream);

// Encodes the next batch into `values` (batch_size x ENCODING_DIM floats) and
// its trailers into `trailers` (batch_size x 14 bytes, as a container stores
// them); *n is its size. A batch never spans two epochs: the last of an epoch
// may be smaller. After the last epoch *n is 0. After an error the stream
// returns the same error from then on.
int position_stream_next(PositionStream* stream, float* values, unsigned char* trailers, std::size_t* n);

// The file and errno behind STREAM_ERR_OPEN or STREAM_ERR_READ.
void position_stream_failure(const PositionStream* stream, const char** path, int* error_number);

void position_stream_stats(const PositionStream* stream, PositionStreamStats* stats);

// Closes the file being read, stops the threads and frees everything. Null is ignored.
void position_stream_destroy(PositionStream* stream);

}  // namespace q4d
