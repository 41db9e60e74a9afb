#include "loader/position_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include <sys/stat.h>

#include "encoder/encoder_pool.h"
#include "encoder/encoding.h"
#include "frames/container.h"
#include "position/piece_list.h"

namespace q4d {
namespace {

// Without a shuffle buffer, positions are still read a window at a time.
constexpr std::size_t PLAIN_WINDOW = 4096;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One source's reading position: the segments of its plan for the pass, the
// shard sequence of the current segment, and its window of positions.
struct Cursor {
  Source source;
  std::vector<std::vector<int>> key_columns;  // per file: the stream's column of each of its keys
  std::uint64_t pass = 0;
  std::uint64_t received = 0;                 // of the pass
  std::uint64_t key = 0;                      // pass_key(epoch, pass)
  std::vector<ShardSegment> plan;
  std::size_t segment = 0;
  std::uint64_t at = 0;                       // output index in the segment's shard sequence
  bool exhausted = false;                     // a pass that yields nothing (a share of 0)

  // The shard sequence of the current segment.
  std::uint32_t n_shards = 0, shard = 0;
  bool sequence_ready = false;
  std::vector<SourceUnit> units;              // in the pass's order (uncounted: this shard's only)
  std::vector<std::uint64_t> prefix;          // counted: positions before each unit
  std::uint64_t sequence_begin = 0;           // counted: of the shard in the pass's positions
  std::uint64_t sequence_length = 0;          // counted; uncounted: known once read to the end
  bool length_known = false;

  // The window being read: positions slots[perm[j]] for j = at % window.
  std::uint64_t window = UINT64_MAX;
  std::uint32_t window_length = 0;
  std::vector<PackBlock> chunks;
  std::vector<std::uint32_t> chunk_file;      // the source file of each chunk
  std::vector<std::pair<std::uint32_t, std::uint32_t>> slots;  // chunk, position in it
  std::vector<std::uint32_t> perm;
  std::vector<std::uint32_t> kept;

  // Reading logs and containers in sequence.
  UnitReader reader;
  std::size_t next_unit = 0;                  // of `units`
  std::uint64_t read_at = 0;                  // sequence index of the next position the reader gives
  std::uint64_t skip_excess = 0;              // a resume point beyond the end of a segment
};

}  // namespace

struct PositionStream {
  PositionStreamOptions options;
  std::size_t window = PLAIN_WINDOW;
  bool shuffle = false;
  std::vector<std::unique_ptr<Cursor>> cursors;
  std::vector<double> weights;                // divided by the largest, so their scale never matters
  std::vector<std::uint64_t> shares;          // counted: each source's positions in a whole epoch
  std::vector<std::string> keys;
  EncoderPool* pool = nullptr;                // the process's shared pool
  std::unique_ptr<Board4D[]> boards;
  std::vector<std::uint8_t> is_frame;         // per row of the batch: a container's frame, already encoded
  std::vector<float> frame;                   // a frame read before it becomes bfloat16

  ShardState state;
  std::uint64_t limit = 0;                    // positions to yield in the epoch; UINT64_MAX: to the end
  bool begun = false;
  PositionStreamStats stats;
  Result error = OK;
  Failure failure;
};

namespace {

// The length of a counted source's shard sequence.
std::uint64_t counted_length(const Cursor& c, std::uint32_t n_shards, std::uint32_t shard) {
  std::uint64_t begin = 0, end = 0;
  shard_range(c.source.total, n_shards, shard, &begin, &end);
  return end - begin;
}

std::uint64_t own_length(const PositionStream& s, const Cursor& c) {
  return counted_length(c, s.options.n_shards, s.options.shard);
}

// A segment with its ends within its counted shard sequence.
ShardSegment clamped(const Cursor& c, ShardSegment seg) {
  seg.to = std::min(seg.to, counted_length(c, seg.n_shards, seg.shard));
  seg.from = std::min(seg.from, seg.to);
  return seg;
}

// Prepares the shard sequence of the cursor's current segment.
void prepare_sequence(const PositionStream& s, Cursor* c) {
  const ShardSegment& seg = c->plan[c->segment];
  c->n_shards = seg.n_shards;
  c->shard = seg.shard;
  c->window = UINT64_MAX;
  c->window_length = 0;
  unit_reader_close(&c->reader);
  c->next_unit = 0;
  c->read_at = 0;
  std::vector<SourceUnit> all;
  source_units(c->source, seg.n_shards, &all);
  std::vector<std::uint32_t> order;
  unit_order(s.options.seed, c->key, all.size(), s.shuffle, &order);
  c->units.clear();
  if (c->source.counted) {
    c->prefix.assign(1, 0);
    for (std::uint32_t u : order) {
      c->units.push_back(all[u]);
      c->prefix.push_back(c->prefix.back() + all[u].count);
    }
    std::uint64_t end = 0;
    shard_range(c->source.total, seg.n_shards, seg.shard, &c->sequence_begin, &end);
    c->sequence_length = end - c->sequence_begin;
    c->length_known = true;
  } else {
    // Whole units to shards by size; the shard reads its own in the pass's order.
    std::vector<std::uint64_t> sizes;
    for (const SourceUnit& u : all) sizes.push_back(u.bytes);
    std::vector<std::uint32_t> shard_of;
    assign_units(sizes, seg.n_shards, &shard_of);
    for (std::uint32_t u : order) {
      if (shard_of[u] == seg.shard) c->units.push_back(all[u]);
    }
    c->sequence_begin = 0;
    c->sequence_length = 0;
    c->length_known = false;
  }
  c->sequence_ready = true;
}

PackBlock* next_chunk(Cursor* c, std::size_t* used) {
  if (*used == c->chunks.size()) c->chunks.emplace_back();
  return &c->chunks[(*used)++];
}

// Loads window w of a counted pack sequence: its blocks, decoded.
Result load_pack_window(PositionStream* s, Cursor* c, std::uint64_t w, Failure* failure) {
  const std::uint64_t first = w * s->window;
  const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(s->window, c->sequence_length - first));
  std::uint64_t a = c->sequence_begin + first;
  const std::uint64_t b = a + length;
  std::size_t u = static_cast<std::size_t>(std::upper_bound(c->prefix.begin(), c->prefix.end(), a) - c->prefix.begin()) - 1;
  std::size_t used = 0;
  c->slots.clear();
  while (a < b) {
    const SourceUnit& unit = c->units[u];
    PackBlock* block = next_chunk(c, &used);
    SourceFile& file = c->source.files[unit.file];
    const Result read = pack_read_block(file.pack, unit.block, block, failure);
    if (read != OK) return read;
    s->stats.bytes_read += pack_info(file.pack)->blocks[unit.block].stored_size;
    pack_block_kept(c->source, unit.file, *block, &c->kept);
    const auto chunk = static_cast<std::uint32_t>(used - 1);
    c->chunk_file.resize(used);
    c->chunk_file[chunk] = unit.file;
    for (std::uint64_t k = a - c->prefix[u]; k < c->kept.size() && a < b; ++k, ++a) c->slots.emplace_back(chunk, c->kept[k]);
    ++u;
  }
  c->window = w;
  c->window_length = length;
  window_permutation(s->options.seed, c->key, c->n_shards, c->shard, w, length, s->shuffle, &c->perm);
  return OK;
}

// Reads the next position of an uncounted sequence into `block` (null: skipped).
Result read_sequence(PositionStream* s, Cursor* c, PackBlock* block, Failure* failure) {
  for (;;) {
    if (!c->reader.open) {
      if (c->next_unit == c->units.size()) return END;
      const SourceUnit& unit = c->units[c->next_unit++];
      const Result opened = unit_reader_open(&c->reader, &c->source, unit, failure);
      if (opened != OK) return opened;
      s->stats.bytes_read += unit.bytes;
    }
    const Result read = unit_reader_next_log(&c->reader, block, failure);
    s->stats.lines_too_long += std::exchange(c->reader.lines_too_long, 0);
    s->stats.fen4_errors += std::exchange(c->reader.fen4_errors, 0);
    if (read == OK) {
      ++c->read_at;
      return OK;
    }
    if (read != END) return read;
    unit_reader_close(&c->reader);
  }
}

// Loads window w of an uncounted (log) sequence, reading on from where the
// reader stands, or from the start when the window lies behind it.
Result load_log_window(PositionStream* s, Cursor* c, std::uint64_t w, Failure* failure) {
  const std::uint64_t first = w * s->window;
  if (c->read_at > first) {
    unit_reader_close(&c->reader);
    c->next_unit = 0;
    c->read_at = 0;
  }
  c->slots.clear();
  c->window = w;
  c->window_length = 0;
  while (c->read_at < first) {
    const Result read = read_sequence(s, c, nullptr, failure);
    if (read == END) {
      c->sequence_length = c->read_at;
      c->length_known = true;
      return OK;
    }
    if (read != OK) return read;
  }
  std::size_t used = 0;
  PackBlock* block = next_chunk(c, &used);
  pack_block_clear(block);
  c->chunk_file.assign(1, 0);
  while (block->n_positions < s->window) {
    const Result read = read_sequence(s, c, block, failure);
    if (read == END) {
      c->sequence_length = c->read_at;
      c->length_known = true;
      break;
    }
    if (read != OK) return read;
  }
  c->window_length = block->n_positions;
  for (std::uint32_t j = 0; j < block->n_positions; ++j) c->slots.emplace_back(0, j);
  window_permutation(s->options.seed, c->key, c->n_shards, c->shard, w, c->window_length, s->shuffle, &c->perm);
  return OK;
}

// Positions a container cursor's reader at sequence index i (no window: containers are read in order).
Result seek_container(Cursor* c, std::uint64_t i, Failure* failure) {
  const std::uint64_t a = c->sequence_begin + i;
  if (c->reader.open && c->read_at == a) return OK;
  const std::size_t u = static_cast<std::size_t>(std::upper_bound(c->prefix.begin(), c->prefix.end(), a) - c->prefix.begin()) - 1;
  Result r = unit_reader_open(&c->reader, &c->source, c->units[u], failure);
  if (r != OK) return r;
  c->next_unit = u + 1;
  PlyTrailer skipped;
  for (std::uint64_t k = c->prefix[u]; k < a; ++k) {
    r = unit_reader_next_frame(&c->reader, nullptr, &skipped, failure);
    if (r != OK) return r == END ? fail(failure, CONTAINER_ERR_CUT_SHORT, c->source.files[c->units[u].file].path.c_str()) : r;
  }
  c->read_at = a;
  return OK;
}

// The next frame of a container into `row`, as the stream's dtype.
Result take_frame(PositionStream* s, Cursor* c, unsigned char* row, PlyTrailer* trailer, Failure* failure) {
  Result r = seek_container(c, c->at, failure);
  if (r != OK) return r;
  const bool as_float = s->options.dtype == DTYPE_FLOAT32;
  if (!as_float) s->frame.resize(ENCODING_DIM);
  for (;;) {
    r = unit_reader_next_frame(&c->reader, as_float ? reinterpret_cast<float*>(row) : s->frame.data(), trailer, failure);
    if (r == OK) {
      if (!as_float) {
        for (int k = 0; k < ENCODING_DIM; ++k) {
          const std::uint16_t bits = bfloat16_bits(s->frame[static_cast<std::size_t>(k)]);
          std::memcpy(row + 2 * k, &bits, 2);
        }
      }
      s->stats.bytes_read += FRAME_SIZE;
      ++c->read_at;
      return OK;
    }
    if (r != END) return r;
    if (c->next_unit == c->units.size()) return fail(failure, CONTAINER_ERR_CUT_SHORT, c->source.files[c->units.back().file].path.c_str());
    r = unit_reader_open(&c->reader, &c->source, c->units[c->next_unit++], failure);
    if (r != OK) return r;
  }
}

// The next position of a cursor's plan into row k of the batch: OK, or END
// when the plan is read to its end.
Result take(PositionStream* s, Cursor* c, std::size_t k, unsigned char* values, BatchLabels* labels, Failure* failure) {
  for (;;) {
    if (c->segment == c->plan.size()) return END;
    if (!c->sequence_ready) prepare_sequence(*s, c);
    const ShardSegment& seg = c->plan[c->segment];
    std::uint64_t end = seg.to;
    if (c->length_known) end = std::min(end, c->sequence_length);
    if (c->at >= end) {
      // A resume point past the end of an uncounted segment carries on into the next.
      c->skip_excess = c->length_known && seg.to == TO_END ? c->at - end : 0;
      if (++c->segment < c->plan.size()) {
        c->at = c->plan[c->segment].from + c->skip_excess;
        c->sequence_ready = false;
      }
      continue;
    }
    const auto started = std::chrono::steady_clock::now();
    if (c->source.kind == SOURCE_CONTAINER) {
      PlyTrailer trailer;
      const Result r = take_frame(s, c, values + k * encoding_bytes(s->options.dtype), &trailer, failure);
      if (r != OK) return r;
      s->is_frame[k] = 1;
      labels->trailers[k] = trailer;
      labels->next_moves[k] = PackMove{};
      labels->move_flags[k] = std::memcmp(trailer.move_from, trailer.move_to, 4) != 0 ? PACK_HAS_MOVE : 0;
      std::fill_n(labels->keys.begin() + static_cast<std::ptrdiff_t>(k * s->keys.size()), s->keys.size(),
                  std::numeric_limits<float>::quiet_NaN());
      ++c->at;
      ++c->received;
      s->stats.read_seconds += seconds_since(started);
      return OK;
    }
    const std::uint64_t w = c->at / s->window;
    if (c->window != w) {
      const Result r = c->source.counted ? load_pack_window(s, c, w, failure) : load_log_window(s, c, w, failure);
      if (r != OK) return r;
      s->stats.read_seconds += seconds_since(started);
      continue;  // an uncounted sequence may have ended
    }
    const std::uint64_t j = c->at % s->window;
    if (j >= c->window_length) return END;  // not reached: a short window has set the sequence's length
    const auto [chunk, p] = c->slots[c->perm[j]];
    const PackBlock& b = c->chunks[chunk];
    expand_board(b.pieces.data() + b.piece_start[p], b.piece_start[p + 1] - b.piece_start[p], &s->boards[k]);
    s->is_frame[k] = 0;
    labels->trailers[k] = b.trailers[p];
    labels->next_moves[k] = b.next_moves[p];
    labels->move_flags[k] = b.move_flags[p];
    float* keys = labels->keys.data() + k * s->keys.size();
    std::fill_n(keys, s->keys.size(), std::numeric_limits<float>::quiet_NaN());
    const std::vector<int>& columns = c->key_columns[c->chunk_file[chunk]];
    for (std::size_t q = 0; q < columns.size(); ++q) keys[columns[q]] = b.keys[p * columns.size() + q];
    ++c->at;
    ++c->received;
    return OK;
  }
}

// A mix takes from the source whose next position is most due: the m-th
// position of source j is due at m / weight_j, ties to the lower index.
double due(const PositionStream& s, std::size_t j, std::uint64_t m) { return static_cast<double>(m) / s.weights[j]; }

// Each source's positions in a whole epoch: one pass of the source that
// takes longest at its weight, and every position of the others due no later
// than its last (ties included, so equal sizes at equal weights are read
// whole). The weights are at most MIX_RATIO_MAX apart, so every count stays
// within 64 bits.
std::vector<std::uint64_t> epoch_shares(const PositionStream& s) {
  std::size_t longest = 0;
  for (std::size_t j = 1; j < s.cursors.size(); ++j) {
    if (static_cast<double>(s.cursors[j]->source.total) / s.weights[j] >
        static_cast<double>(s.cursors[longest]->source.total) / s.weights[longest]) {
      longest = j;
    }
  }
  const std::uint64_t last = s.cursors[longest]->source.total;
  const double end = due(s, longest, last);
  std::vector<std::uint64_t> shares(s.cursors.size(), last);
  for (std::size_t j = 0; j < s.cursors.size(); ++j) {
    if (j == longest) continue;
    // The floor is the count, give or take the rounding of a step or two.
    auto m = static_cast<std::uint64_t>(std::min(std::floor(end * s.weights[j]), 0x1p62));
    for (int step = 0; step < 8 && m > 0 && due(s, j, m) > end; ++step) --m;
    for (int step = 0; step < 8 && due(s, j, m + 1) <= end; ++step) ++m;
    shares[j] = m;
  }
  return shares;
}

// Source j's positions in the epoch of shard `shard` of `n_shards`: its
// share of the whole epoch's, split by count as the sources themselves are.
std::uint64_t shard_share(const PositionStream& s, std::size_t j, std::uint32_t n_shards, std::uint32_t shard) {
  std::uint64_t begin = 0, end = 0;
  shard_range(s.shares[j], n_shards, shard, &begin, &end);
  return end - begin;
}

// The epoch of shard `shard` of `n_shards`: its shares of every source.
std::uint64_t epoch_length(const PositionStream& s, std::uint32_t n_shards, std::uint32_t shard) {
  std::uint64_t length = 0;
  for (std::size_t j = 0; j < s.cursors.size(); ++j) length += shard_share(s, j, n_shards, shard);
  return length;
}

// The shortest shard's epoch in a layout (for drop_last).
std::uint64_t least_epoch_length(const PositionStream& s, std::uint32_t n_shards) {
  std::uint64_t least = UINT64_MAX;
  for (std::uint32_t shard = 0; shard < n_shards; ++shard) least = std::min(least, epoch_length(s, n_shards, shard));
  return least;
}

// A complete layout of shard states, as the origin of the shards of another:
// their plans and what had been received of each, or none at all (every
// shard starts `epoch` afresh).
struct Origin {
  const std::vector<ShardState>* layer = nullptr;  // null: afresh
  std::uint64_t epoch = 0;
  std::vector<std::vector<ShardSegment>> plans;
  std::vector<std::uint64_t> received;
  std::uint64_t tails_total = 0;  // counted: the positions no old shard had yielded
};

Origin origin_of(const PositionStream& s, const std::vector<ShardState>* layer, std::uint64_t epoch) {
  Origin origin;
  origin.epoch = epoch;
  if (layer == nullptr) return origin;
  origin.layer = layer;
  origin.epoch = UINT64_MAX;
  for (const ShardState& st : *layer) origin.epoch = std::min(origin.epoch, st.epoch);
  const Cursor& c = *s.cursors[0];
  // Shards already in a later epoch had finished this one.
  for (const ShardState& st : *layer) {
    if (st.epoch != origin.epoch) continue;
    std::vector<ShardSegment> p = st.plan;
    if (p.empty()) p.push_back(ShardSegment{st.n_shards, st.shard, 0, TO_END});
    if (c.source.counted) {
      for (ShardSegment& seg : p) seg = clamped(c, seg);
      std::uint64_t left = 0;
      for (const ShardSegment& seg : p) left += seg.to - seg.from;
      origin.tails_total += left - std::min(left, st.sources[0].received);
    }
    origin.plans.push_back(std::move(p));
    origin.received.push_back(st.sources[0].received);
  }
  return origin;
}

// The state of shard `shard` of `n_shards` before its first position, from
// its origin. `least` is least_epoch_length of the layout (counted, afresh).
ShardState derived_state(const PositionStream& s, const Origin& origin, std::uint32_t n_shards, std::uint32_t shard,
                         std::uint64_t least) {
  if (origin.layer != nullptr && (*origin.layer)[0].n_shards == n_shards) return (*origin.layer)[shard];
  ShardState st;
  st.n_shards = n_shards;
  st.shard = shard;
  st.epoch = origin.epoch;
  st.sources.assign(s.cursors.size(), SourceState{});
  const bool counted = s.cursors[0]->source.counted;
  if (origin.layer == nullptr) {
    if (counted) {
      st.length = epoch_length(s, n_shards, shard);
      st.least_length = least;
    }
    return st;
  }
  st.plan = reshard(origin.plans, origin.received, n_shards, shard);
  // A shard given no tail reads nothing more of this epoch.
  if (st.plan.empty()) st.plan.push_back(ShardSegment{n_shards, shard, 0, 0});
  if (counted) {
    std::uint64_t begin = 0, end = 0;
    shard_range(origin.tails_total, n_shards, shard, &begin, &end);
    st.length = end - begin;
    st.least_length = origin.tails_total / n_shards;
  }
  return st;
}

// The length of a saved state's own sequence is worked out again, never
// trusted: a pure function of the sources and the state's plan.
void recount(const PositionStream& s, ShardState* st) {
  const Cursor& c = *s.cursors[0];
  if (!c.source.counted) {
    st->length = st->least_length = 0;
  } else if (st->plan.empty()) {
    st->length = epoch_length(s, st->n_shards, st->shard);
    st->least_length = least_epoch_length(s, st->n_shards);
  } else {
    std::uint64_t length = 0;
    for (const ShardSegment& seg : st->plan) {
      const ShardSegment within = clamped(c, seg);
      length += within.to - within.from;
    }
    st->length = length;
    st->least_length = std::min(st->least_length, length);
  }
}

// The plan of one pass of a cursor: its own shard's whole sequence.
void start_pass(PositionStream* s, Cursor* c, std::uint64_t pass) {
  c->pass = pass;
  c->received = 0;
  c->key = pass_key(s->state.epoch, pass);
  c->plan.assign(1, ShardSegment{s->options.n_shards, s->options.shard, 0, TO_END});
  c->segment = 0;
  c->at = 0;
  c->sequence_ready = false;
  c->skip_excess = 0;
}

// Moves a cursor to `received` positions into its plan.
void seek_plan(Cursor* c, std::uint64_t received) {
  c->received = received;
  c->segment = 0;
  c->sequence_ready = false;
  for (; c->segment < c->plan.size(); ++c->segment) {
    const ShardSegment& seg = c->plan[c->segment];
    std::uint64_t length = TO_END;
    if (c->source.counted) {
      const ShardSegment within = clamped(*c, seg);
      length = within.to - within.from;
    }
    if (length == TO_END || received < length) break;
    received -= length;
  }
  if (c->segment < c->plan.size()) c->at = c->plan[c->segment].from + received;
}

}  // namespace

Result position_stream_create(const PositionStreamOptions& options, PositionStream** stream, Failure* failure) {
  if (stream == nullptr) return fail(failure, ERR_NULL);
  *stream = nullptr;
  const PositionFilter& f = options.filter;
  if (options.batch_size == 0 || options.threads < 0 ||
      (options.dtype != DTYPE_FLOAT32 && options.dtype != DTYPE_BFLOAT16) || options.n_shards < 1 || options.shard >= options.n_shards ||
      options.sources.empty() || options.sources.size() > 255 || !(f.keep_fraction > 0.0 && f.keep_fraction <= 1.0) ||
      !(f.val_fraction >= 0.0 && f.val_fraction <= 1.0) || options.shuffle_buffer > UINT32_MAX) {
    return fail(failure, ERR_ARGUMENT);
  }
  double least_weight = INFINITY, most_weight = 0;
  for (const StreamSource& source : options.sources) {
    if (!(source.weight > 0.0 && std::isfinite(source.weight))) return fail(failure, ERR_ARGUMENT);
    least_weight = std::min(least_weight, source.weight);
    most_weight = std::max(most_weight, source.weight);
  }
  if (most_weight / least_weight > MIX_RATIO_MAX) return fail(failure, LOADER_ERR_WEIGHTS);
  if (options.threads > shared_pool_thread_limit()) return fail(failure, LOADER_ERR_THREADS);
  if (options.n_shards > POSITION_STREAM_SHARDS_MAX) return fail(failure, ERR_ARGUMENT);
  try {
    auto s = std::make_unique<PositionStream>();
    s->options = options;
    s->shuffle = options.shuffle_buffer > 0;
    s->window = s->shuffle ? options.shuffle_buffer : PLAIN_WINDOW;
    for (const StreamSource& source : options.sources) {
      auto c = std::make_unique<Cursor>();
      const Result opened = source_open(source.paths, options.filter, options.seed, &c->source, failure);
      if (opened != OK) {
        for (auto& other : s->cursors) source_close(&other->source);
        return opened;
      }
      // A mix needs every source's size to know its epoch.
      if (options.sources.size() > 1 && !c->source.counted) {
        const std::string path = c->source.files[0].path;
        source_close(&c->source);
        for (auto& other : s->cursors) source_close(&other->source);
        return fail(failure, LOADER_ERR_MIX_LOG, path.c_str());
      }
      for (const std::string& name : c->source.keys) {
        if (std::find(s->keys.begin(), s->keys.end(), name) == s->keys.end()) s->keys.push_back(name);
      }
      s->cursors.push_back(std::move(c));
      s->weights.push_back(source.weight / most_weight);
    }
    // The same file twice in a source would be read twice an epoch, unnoticed.
    for (auto& c : s->cursors) {
      std::vector<std::pair<dev_t, ino_t>> seen;
      for (const SourceFile& file : c->source.files) {
        struct stat st {};
        if (stat(file.path.c_str(), &st) != 0) continue;  // read errors are reported when it is read
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        if (std::find(seen.begin(), seen.end(), id) != seen.end()) {
          const std::string path = file.path;
          for (auto& other : s->cursors) source_close(&other->source);
          return fail(failure, LOADER_ERR_DUPLICATE, path.c_str());
        }
        seen.push_back(id);
      }
    }
    for (auto& c : s->cursors) {
      for (const SourceFile& file : c->source.files) {
        std::vector<int> columns;
        if (file.pack != nullptr) {
          for (const PackKey& key : pack_info(file.pack)->keys) {
            columns.push_back(static_cast<int>(std::find(s->keys.begin(), s->keys.end(), key.name) - s->keys.begin()));
          }
        }
        c->key_columns.push_back(columns);
      }
    }
    if (s->cursors[0]->source.counted) s->shares = epoch_shares(*s);
    s->boards.reset(new Board4D[options.batch_size]);
    s->is_frame.resize(options.batch_size);
    const Result pool = shared_encoder_pool(options.threads, &s->pool);
    if (pool != OK) {
      for (auto& c : s->cursors) source_close(&c->source);
      return fail(failure, pool);
    }
    *stream = s.release();
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC);
  }
  return OK;
}

const std::vector<std::string>& position_stream_keys(const PositionStream* s) { return s->keys; }

namespace {

// A saved state's fields within what a stream of this many sources can have.
bool state_fits(const ShardState& st, std::size_t n_sources) {
  if (st.n_shards < 1 || st.n_shards > POSITION_STREAM_SHARDS_MAX || st.shard >= st.n_shards ||
      st.sources.size() != n_sources) {
    return false;
  }
  for (const ShardSegment& seg : st.plan) {
    if (seg.n_shards < 1 || seg.n_shards > POSITION_STREAM_SHARDS_MAX || seg.shard >= seg.n_shards ||
        seg.from > seg.to) {
      return false;
    }
  }
  return true;
}

Result begin(PositionStream* s, std::uint64_t epoch, const std::vector<ShardState>& saved, Failure* failure) {
  const PositionStreamOptions& o = s->options;
  for (const ShardState& st : saved) {
    if (!state_fits(st, s->cursors.size())) return fail(failure, LOADER_ERR_STATE);
  }
  // Each run of states of one layout is a layer over the one before: a
  // shard missing from it had not yet read anything of its layout, and
  // starts where the layer below puts it. The first layer lies over a fresh
  // start of `epoch`.
  std::vector<ShardState> below;  // complete, or empty: afresh
  Origin origin = origin_of(*s, nullptr, epoch);
  for (std::size_t a = 0; a < saved.size();) {
    const std::uint32_t n = saved[a].n_shards;
    std::size_t b = a;
    while (b < saved.size() && saved[b].n_shards == n) ++b;
    if (s->cursors.size() > 1 && origin.layer != nullptr && (*origin.layer)[0].n_shards != n) {
      return fail(failure, LOADER_ERR_MIX_LAYOUT);
    }
    std::vector<std::uint8_t> given(n, 0);
    for (std::size_t k = a; k < b; ++k) {
      if (given[saved[k].shard]) return fail(failure, LOADER_ERR_STATE);  // a shard twice in one layer
      given[saved[k].shard] = 1;
    }
    const bool fresh_counted = origin.layer == nullptr && s->cursors[0]->source.counted;
    const std::uint64_t least = fresh_counted ? least_epoch_length(*s, n) : 0;
    std::vector<ShardState> layer(n);
    for (std::uint32_t shard = 0; shard < n; ++shard) {
      if (!given[shard]) layer[shard] = derived_state(*s, origin, n, shard, least);
    }
    for (std::size_t k = a; k < b; ++k) layer[saved[k].shard] = saved[k];
    below = std::move(layer);
    origin = origin_of(*s, &below, epoch);
    a = b;
  }
  if (s->cursors.size() > 1 && origin.layer != nullptr && below[0].n_shards != o.n_shards) {
    return fail(failure, LOADER_ERR_MIX_LAYOUT);
  }
  const bool fresh_counted = origin.layer == nullptr && s->cursors[0]->source.counted;
  s->state = derived_state(*s, origin, o.n_shards, o.shard, fresh_counted ? least_epoch_length(*s, o.n_shards) : 0);
  recount(*s, &s->state);
  // Cursors at the state's point.
  for (std::size_t k = 0; k < s->cursors.size(); ++k) {
    Cursor* c = s->cursors[k].get();
    start_pass(s, c, s->state.sources[k].pass);
    if (!s->state.plan.empty()) c->plan = s->state.plan;
    c->exhausted = false;
    seek_plan(c, s->state.sources[k].received);
  }
  s->limit = UINT64_MAX;
  if (s->cursors[0]->source.counted) {
    s->limit = o.drop_last ? s->state.least_length / o.batch_size * o.batch_size : s->state.length;
  }
  s->begun = true;
  s->stats.epoch = s->state.epoch;
  return OK;
}

}  // namespace

Result position_stream_begin(PositionStream* s, std::uint64_t epoch, const std::vector<ShardState>& saved,
                             Failure* failure) {
  if (s == nullptr) return fail(failure, ERR_NULL);
  if (s->error != OK) {
    if (failure != nullptr) *failure = s->failure;
    return s->error;
  }
  try {
    return begin(s, epoch, saved, failure);
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC);
  }
}

Result position_stream_next(PositionStream* s, void* out, BatchLabels* labels, std::size_t* n, Failure* failure) {
  auto* values = static_cast<unsigned char*>(out);
  if (s == nullptr || values == nullptr || labels == nullptr || n == nullptr) return fail(failure, ERR_NULL);
  *n = 0;
  if (s->error != OK) {
    if (failure != nullptr) *failure = s->failure;
    return s->error;
  }
  if (!s->begun) return END;
  const std::size_t batch = s->options.batch_size;
  const std::size_t n_keys = s->keys.size();
  std::size_t count = 0;
  Result result = OK;
  try {
    labels->trailers.resize(batch);
    labels->next_moves.resize(batch);
    labels->move_flags.resize(batch);
    labels->keys.resize(batch * n_keys);
    labels->source.resize(batch);
    const auto started = std::chrono::steady_clock::now();
    const double read_before = s->stats.read_seconds;
    ShardState& st = s->state;
    while (count < batch && st.received < s->limit) {
      // A mix takes from the source furthest behind its share (smooth weighted round robin)
      // until each has given its share of the epoch.
      std::size_t k = 0;
      if (s->cursors.size() > 1) {
        double best = INFINITY;
        for (std::size_t j = 0; j < s->cursors.size(); ++j) {
          const Cursor& cj = *s->cursors[j];
          const std::uint64_t taken = st.sources[j].pass * own_length(*s, cj) + st.sources[j].received;
          if (cj.exhausted || taken >= shard_share(*s, j, s->options.n_shards, s->options.shard)) continue;
          const double when = due(*s, j, taken + 1);
          if (when < best) {
            best = when;
            k = j;
          }
        }
        if (best == INFINITY) break;
      }
      Cursor* c = s->cursors[k].get();
      Result r = take(s, c, count, values, labels, failure);
      if (r == END && s->cursors.size() > 1 && c->received > 0) {
        start_pass(s, c, c->pass + 1);  // the smaller source repeats, in its next pass's order
        st.sources[k] = SourceState{c->pass, 0};
        r = take(s, c, count, values, labels, failure);
      }
      if (r == END) {
        if (s->cursors.size() == 1) break;
        c->exhausted = true;
        continue;
      }
      if (r != OK) {
        result = r;
        break;
      }
      labels->source[count] = static_cast<std::uint8_t>(k);
      st.sources[k].received = c->received;
      ++st.received;
      ++count;
    }
    if (result == OK) {
      s->stats.assemble_seconds += seconds_since(started) - (s->stats.read_seconds - read_before);
      if (s->options.drop_last && count < batch && !s->cursors[0]->source.counted) {
        count = 0;  // the partial last batch of a log
      }
      // Encode the rows that are not containers' frames, run by run.
      const auto encoding = std::chrono::steady_clock::now();
      for (std::size_t a = 0; a < count;) {
        if (s->is_frame[a]) {
          ++a;
          continue;
        }
        std::size_t b = a;
        while (b < count && !s->is_frame[b]) ++b;
        // Batches are larger than the caches and not read back here: streaming stores.
        const EncodingFormat format{s->options.dtype, true};
        // Another caller may have resized the shared pool since: this stream's count again.
        Result encoded = shared_encoder_pool(s->options.threads, &s->pool);
        if (encoded == OK) encoded = encoder_pool_encode(s->pool, &s->boards[a], b - a, values + a * encoding_bytes(s->options.dtype), format);
        if (encoded != OK) {
          result = fail(failure, encoded);
          break;
        }
        a = b;
      }
      s->stats.encode_seconds += seconds_since(encoding);
    }
  } catch (const std::bad_alloc&) {
    result = fail(failure, ERR_ALLOC);
  }
  if (result != OK) {
    s->error = result;
    if (failure != nullptr) s->failure = *failure;
    return result;
  }
  if (count == 0) return END;
  labels->trailers.resize(count);
  labels->next_moves.resize(count);
  labels->move_flags.resize(count);
  labels->keys.resize(count * n_keys);
  labels->source.resize(count);
  s->stats.positions += count;
  ++s->stats.batches;
  *n = count;
  return OK;
}

void position_stream_state(const PositionStream* s, ShardState* state) {
  if (s != nullptr && state != nullptr) *state = s->state;
}

void position_stream_stats(const PositionStream* s, PositionStreamStats* stats) {
  if (s == nullptr || stats == nullptr) return;
  *stats = s->stats;
  stats->buffered = 0;
  for (const auto& c : s->cursors) stats->buffered += c->window_length;
}

void position_stream_destroy(PositionStream* s) {
  if (s == nullptr) return;
  for (auto& c : s->cursors) {
    unit_reader_close(&c->reader);
    source_close(&c->source);
  }
  delete s;  // the shared pool stays the process's
}

}  // namespace q4d
