#include "loader/position_stream.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <numeric>
#include <utility>

#include "encoder/encoder_pool.h"
#include "frames/container.h"
#include "position/piece_list.h"
#include "position/ply_log.h"

namespace q4d {
namespace {

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
  std::size_t below(std::size_t n) {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
};

Random random_for(std::uint64_t seed, std::uint64_t epoch, std::uint64_t shard) {
  Random r{seed};
  r.state = r.next() ^ (epoch * 0xD1B54A32D192ED03u);
  r.state = r.next() ^ (shard * 0x8CB92BA72F3D8DD7u);
  return r;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// A position in the shuffle buffer.
struct CompactPosition {
  std::vector<PieceWord> pieces;
  PlyTrailer trailer;
};

struct PositionStream {
  PositionStreamOptions options;
  EncoderPool* pool = nullptr;
  std::unique_ptr<Board4D[]> boards;  // one batch
  std::unique_ptr<Board4D> scratch;   // a line parsed before it is compacted

  // The files of the current epoch and the one being read.
  int epoch = -1;
  bool in_epoch = false;
  bool files_read = false;
  std::vector<std::size_t> order;
  std::size_t next_file = 0;
  PlyLogReader* reader = nullptr;
  bool reading = false;

  // Shuffle buffer: `filled` positions at the front of `buffer`.
  std::vector<CompactPosition> buffer;
  std::size_t filled = 0;
  Random shuffle{0};

  PositionStreamStats stats;
  int error = STREAM_OK;
  std::string failed_path;
  int failed_errno = 0;
};

namespace {

void close_file(PositionStream* s) {
  if (!s->reading) return;
  ply_log_close(s->reader);
  s->reader = nullptr;
  s->reading = false;
}

int fail(PositionStream* s, int error, const std::string& path, int error_number) {
  s->failed_path = path;
  s->failed_errno = error_number;
  close_file(s);
  return error;
}

// Opens a file at this shard's share of its bytes.
int open_file(PositionStream* s, const std::string& path) {
  PlyLogOptions range;
  const PositionStreamOptions& o = s->options;
  if (o.n_shards > 1) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail(s, STREAM_ERR_OPEN, path, errno);
    const auto size = static_cast<unsigned __int128>(st.st_size);
    range.begin = static_cast<std::int64_t>(size * static_cast<unsigned>(o.shard) / static_cast<unsigned>(o.n_shards));
    range.end = static_cast<std::int64_t>(size * static_cast<unsigned>(o.shard + 1) / static_cast<unsigned>(o.n_shards));
  }
  Failure failure;
  if (ply_log_open(path.c_str(), range, &s->reader, &failure) != OK) {
    return failure.result == ERR_ALLOC ? fail(s, STREAM_ERR_ALLOC, path, ENOMEM)
                                       : fail(s, STREAM_ERR_OPEN, path, failure.error_number);
  }
  s->reading = true;
  return STREAM_OK;
}

// The next position of the epoch's files: 1, 0 when they are all read, or an error.
int read_source(PositionStream* s, Board4D* board, PlyTrailer* trailer) {
  for (;;) {
    if (!s->reading) {
      if (s->next_file == s->order.size()) return 0;
      const int opened = open_file(s, s->options.paths[s->order[s->next_file++]]);
      if (opened != STREAM_OK) return opened;
    }
    Failure failure;
    const Result read = ply_log_next(s->reader, board, trailer, &failure);
    if (read == OK) return 1;
    if (read == PAUSED) continue;
    if (read == PLY_LOG_TOO_LONG) {
      ++s->stats.lines_too_long;
      continue;
    }
    if (read == PLY_LOG_BAD_FEN4) {
      ++s->stats.fen4_errors;
      continue;
    }
    if (read == END) {
      close_file(s);
      continue;
    }
    const std::string& path = s->options.paths[s->order[s->next_file - 1]];
    return read == ERR_ALLOC ? fail(s, STREAM_ERR_ALLOC, path, ENOMEM)
                             : fail(s, STREAM_ERR_READ, path, failure.error_number != 0 ? failure.error_number : EIO);
  }
}

void start_epoch(PositionStream* s) {
  ++s->epoch;
  s->in_epoch = true;
  s->files_read = false;
  s->next_file = 0;
  s->order.resize(s->options.paths.size());
  std::iota(s->order.begin(), s->order.end(), std::size_t{0});
  if (s->options.shuffle_buffer > 0) {
    // Every shard reads the files in the same order; each shuffles its own share.
    Random files = random_for(s->options.seed, static_cast<std::uint64_t>(s->epoch), 0);
    for (std::size_t k = s->order.size(); k > 1; --k) std::swap(s->order[k - 1], s->order[files.below(k)]);
    s->shuffle = random_for(s->options.seed, static_cast<std::uint64_t>(s->epoch),
                            static_cast<std::uint64_t>(s->options.shard) + 1);
  }
}

// The next position of the epoch into `board`: 1, 0 when the epoch is over, or an error.
int take_position(PositionStream* s, Board4D* board, PlyTrailer* trailer) {
  if (s->options.shuffle_buffer == 0) return read_source(s, board, trailer);
  PlyTrailer read_trailer;
  while (s->filled < s->buffer.size() && !s->files_read) {
    const int read = read_source(s, s->scratch.get(), &read_trailer);
    if (read < 0) return read;
    if (read == 0) {
      s->files_read = true;
      break;
    }
    CompactPosition& slot = s->buffer[s->filled++];
    compact_board(*s->scratch, &slot.pieces);
    slot.trailer = read_trailer;
  }
  if (s->filled == 0) return 0;
  CompactPosition& taken = s->buffer[s->shuffle.below(s->filled)];
  expand_board(taken.pieces.data(), taken.pieces.size(), board);
  *trailer = taken.trailer;
  // The slot takes the next position of the files, or, once they are all
  // read, the last position of the buffer.
  const int read = s->files_read ? 0 : read_source(s, s->scratch.get(), &read_trailer);
  if (read < 0) return read;
  if (read == 1) {
    compact_board(*s->scratch, &taken.pieces);
    taken.trailer = read_trailer;
  } else {
    s->files_read = true;
    std::swap(taken, s->buffer[--s->filled]);
  }
  return 1;
}

}  // namespace

int position_stream_create(const PositionStreamOptions& options, PositionStream** stream) {
  if (stream == nullptr) return STREAM_ERR_NULL;
  *stream = nullptr;
  if (options.batch_size == 0 || options.epochs < 0 || options.threads < 0 || options.n_shards < 1 ||
      options.shard < 0 || options.shard >= options.n_shards) {
    return STREAM_ERR_OPTIONS;
  }
  try {
    auto s = std::make_unique<PositionStream>();
    s->options = options;
    s->boards.reset(new Board4D[options.batch_size]);
    s->scratch = std::make_unique<Board4D>();
    s->buffer.resize(options.shuffle_buffer);
    if (encoder_pool_create(options.threads, &s->pool) != OK) return STREAM_ERR_THREADS;
    *stream = s.release();
  } catch (const std::bad_alloc&) {
    return STREAM_ERR_ALLOC;
  }
  return STREAM_OK;
}

int position_stream_next(PositionStream* s, float* values, unsigned char* trailers, std::size_t* n) {
  if (s == nullptr || values == nullptr || trailers == nullptr || n == nullptr) return STREAM_ERR_NULL;
  *n = 0;
  if (s->error != STREAM_OK) return s->error;
  const auto started = std::chrono::steady_clock::now();
  std::size_t count = 0;
  try {
    while (count < s->options.batch_size) {
      if (!s->in_epoch) {
        if (s->epoch + 1 >= s->options.epochs) break;
        start_epoch(s);
      }
      PlyTrailer trailer;
      const int took = take_position(s, &s->boards[count], &trailer);
      if (took < 0) return s->error = took;
      if (took == 0) {
        s->in_epoch = false;
        if (count > 0) break;
        continue;
      }
      trailer_to_bytes(trailer, trailers + count * TRAILER_SIZE);
      ++count;
    }
  } catch (const std::bad_alloc&) {
    return s->error = STREAM_ERR_ALLOC;
  }
  s->stats.read_seconds += seconds_since(started);
  if (count > 0) {
    const auto encoding = std::chrono::steady_clock::now();
    if (encoder_pool_encode(s->pool, s->boards.get(), count, values) != OK) return s->error = STREAM_ERR_NULL;
    s->stats.encode_seconds += seconds_since(encoding);
    s->stats.positions += count;
    ++s->stats.batches;
  }
  *n = count;
  return STREAM_OK;
}

void position_stream_failure(const PositionStream* s, const char** path, int* error_number) {
  if (s == nullptr) return;
  if (path != nullptr) *path = s->failed_path.c_str();
  if (error_number != nullptr) *error_number = s->failed_errno;
}

void position_stream_stats(const PositionStream* s, PositionStreamStats* stats) {
  if (s == nullptr || stats == nullptr) return;
  *stats = s->stats;
  stats->buffered = s->filled;
  stats->epoch = s->epoch < 0 ? 0 : s->epoch;
}

void position_stream_destroy(PositionStream* s) {
  if (s == nullptr) return;
  close_file(s);
  encoder_pool_destroy(s->pool);
  delete s;
}

}  // namespace q4d
