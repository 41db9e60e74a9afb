// The packer: lines are read in input order by the calling thread, parsed in
// chunks on the pool, put in order (defaults, games, next moves, game keys)
// by the calling thread again, gathered into blocks that the pool
// compresses, and written in order. Block boundaries depend only on the
// positions, so the bytes never depend on the number of threads.
#include "dataset/pack_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <tuple>

#include "base/byte_order.h"
#include "base/processors.h"
#include "base/task_pool.h"
#include "dataset/pack_format.h"
#include "dataset/pack_reader.h"
#include "position/key_scan.h"
#include "position/ply_line.h"
#include "position/ply_log.h"

namespace q4d {
namespace {

constexpr std::size_t CHUNK_LINES = 512;
constexpr std::size_t CHUNK_BYTES = 1 << 20;

// ---- Lines, parsed on the pool -------------------------------------------------

// A line that is more than a line passed over.
struct ParsedLine {
  Result kind;  // OK (a position), PLY_LOG_METADATA, PLY_LOG_TOO_LONG or PLY_LOG_BAD_FEN4
  std::uint32_t line;
  int fen4_error;
  unsigned fields;
  PlyTrailer trailer;
  std::uint32_t pieces_begin, pieces_end;  // in Chunk::pieces
  std::uint32_t keys_begin;                // in Chunk::keys: a position's per-ply keys, a metadata line's game keys
};

// Consecutive lines of one input.
struct Chunk {
  std::uint32_t input = 0;
  bool input_ends = false;  // the input's last chunk
  std::uint32_t first_line = 0;
  std::string text;                   // the lines, each NUL-terminated
  std::vector<std::uint32_t> starts;  // of each line in `text`
  std::vector<ParsedLine> parsed;
  std::vector<std::uint16_t> pieces;
  std::vector<float> keys;
  Result status = OK;  // ERR_ALLOC if parsing ran out of memory
  bool ready = false;  // parsed (under the pool's lock)

  // Empty again, keeping its memory.
  void reset() {
    input_ends = false;
    text.clear();
    starts.clear();
    parsed.clear();
    pieces.clear();
    keys.clear();
    status = OK;
    ready = false;
  }
};

float number_or_nan(const char* line, const std::string& key) {
  double value = 0;
  return find_number_key(line, key.c_str(), &value) == OK ? static_cast<float>(value)
                                                          : std::numeric_limits<float>::quiet_NaN();
}

// The entry of square s of `board` (square | code << 12), code 0 when empty.
inline std::uint16_t entry_at(const Board4D& board, int s) {
  return static_cast<std::uint16_t>(s | pack_piece_code(board.pieces[s], board.pawn_axis[s]) << 12);
}

// Whether squares s .. s + 63 hold the same on both boards.
inline bool same_squares(const Board4D& a, const Board4D& b, int s) {
#ifdef __SSE2__
  __m128i same = _mm_set1_epi8(-1);
  for (int k = s; k < s + 64; k += 16) {
    auto at = [k](const std::array<std::uint8_t, N_SQUARES>& bytes) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + k));
    };
    same = _mm_and_si128(same, _mm_and_si128(_mm_cmpeq_epi8(at(a.pieces), at(b.pieces)),
                                             _mm_cmpeq_epi8(at(a.pawn_axis), at(b.pawn_axis))));
  }
  return _mm_movemask_epi8(same) == 0xFFFF;
#else
  return std::memcmp(&a.pieces[s], &b.pieces[s], 64) == 0 && std::memcmp(&a.pawn_axis[s], &b.pawn_axis[s], 64) == 0;
#endif
}

// Piece lists of the boards a thread parses, one line after another. A
// position is mostly the one before with a piece moved, so a board is
// compared with the previous one, 64 squares at a time, and its list made
// from the previous list and the squares that differ; the first board, or
// one after a line that did not parse, is scanned whole. Either way the list
// depends only on the board.
class PieceLists {
 public:
  // The board the next line is parsed into (never the previous one).
  Board4D* board() { return &boards_[1 - previous_]; }

  // The list of board() once a line has been parsed into it, which then
  // becomes the previous board.
  const std::vector<std::uint16_t>& take() {
    const Board4D& now = boards_[1 - previous_];
    if (have_previous_) {
      differ(boards_[previous_], now);
    } else {
      list_.clear();
      for (int s = 0; s < N_SQUARES; ++s) {
        if (now.pieces[s] != 0) list_.push_back(entry_at(now, s));
      }
    }
    previous_ = 1 - previous_;
    have_previous_ = true;
    return list_;
  }

 private:
  // list_ (the previous board's) made into the list of `now`.
  void differ(const Board4D& before, const Board4D& now) {
    next_.clear();
    std::size_t kept = 0;  // entries of list_ before this one are in next_ or left out
    auto copy_to_square = [&](int square) {
      const auto end = std::lower_bound(list_.begin() + static_cast<std::ptrdiff_t>(kept), list_.end(), square,
                                        [](std::uint16_t entry, int s) { return (entry & 0xFFF) < s; });
      next_.insert(next_.end(), list_.begin() + static_cast<std::ptrdiff_t>(kept), end);
      kept = static_cast<std::size_t>(end - list_.begin());
    };
    // Eight squares at a time; a word's differing bytes are found by counting zeros.
    auto word = [](const std::uint8_t* p) {
      std::uint64_t w;
      std::memcpy(&w, p, sizeof w);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);  // square p[0] lowest
      return w;
    };
    for (int s = 0; s < N_SQUARES; s += 64) {
      if (same_squares(before, now, s)) continue;
      for (int g = s; g < s + 64; g += 8) {
        std::uint64_t differ =
            (word(&before.pieces[g]) ^ word(&now.pieces[g])) | (word(&before.pawn_axis[g]) ^ word(&now.pawn_axis[g]));
        while (differ != 0) {
          const int byte = std::countr_zero(differ) / 8;
          differ &= ~(std::uint64_t{0xFF} << (8 * byte));
          const int k = g + byte;
          copy_to_square(k);
          if (before.pieces[k] != 0) ++kept;  // the entry of square k leaves
          if (now.pieces[k] != 0) next_.push_back(entry_at(now, k));
        }
      }
    }
    next_.insert(next_.end(), list_.begin() + static_cast<std::ptrdiff_t>(kept), list_.end());
    list_.swap(next_);
  }

  Board4D boards_[2] = {};
  int previous_ = 0;
  bool have_previous_ = false;
  std::vector<std::uint16_t> list_, next_;
};

// One line of the chunk's input into its parsed lines (bad_alloc escapes).
void parse_line(Chunk& c, const char* line, std::uint32_t number, const PackWriteOptions& o) {
  thread_local std::unique_ptr<PieceLists> lists(new PieceLists);
  thread_local std::unique_ptr<char[]> fen4(new char[FEN4_BUF_SIZE]);
  ParsedLine p{};
  p.line = number;
  p.kind = read_ply_line(line, fen4.get(), lists->board(), &p.trailer, &p.fields, &p.fen4_error);
  p.pieces_begin = static_cast<std::uint32_t>(c.pieces.size());
  p.keys_begin = static_cast<std::uint32_t>(c.keys.size());
  if (p.kind == OK) {
    const std::vector<std::uint16_t>& pieces = lists->take();
    c.pieces.insert(c.pieces.end(), pieces.begin(), pieces.end());
    for (const std::string& key : o.keys) c.keys.push_back(number_or_nan(line, key));
  } else if (p.kind == PLY_LOG_METADATA) {
    for (const std::string& key : o.game_keys) c.keys.push_back(number_or_nan(line, key));
  } else if (p.kind != PLY_LOG_TOO_LONG && p.kind != PLY_LOG_BAD_FEN4) {
    return;  // no fen4 string: passed over without a word
  }
  p.pieces_end = static_cast<std::uint32_t>(c.pieces.size());
  c.parsed.push_back(p);
}

// The lines a chunk holds as text, on a thread of the pool.
void parse_chunk(Chunk& c, const PackWriteOptions& o) {
  try {
    for (std::size_t i = 0; i < c.starts.size(); ++i) {
      parse_line(c, c.text.data() + c.starts[i], c.first_line + static_cast<std::uint32_t>(i), o);
    }
  } catch (const std::bad_alloc&) {
    c.status = ERR_ALLOC;
  }
}

// ---- Blocks, compressed on the pool --------------------------------------------

struct Position {
  PlyTrailer trailer;
  PackMove next;
  std::uint8_t move_flags;
  std::uint8_t game_step;
  std::uint32_t input, line;
  std::uint32_t pieces_begin, pieces_count;  // in Block::pieces
};

struct Block {
  std::uint64_t first_game = 0;
  std::vector<Position> positions;
  std::vector<std::uint16_t> pieces;
  std::vector<float> keys;  // positions x keys, row by row
  std::size_t n_keys = 0;
  std::uint32_t most_positions = 0;  // PackWriteOptions::block_positions
  std::uint32_t n_positions = 0;  // kept when the positions go
  // Compressed:
  std::vector<unsigned char> stored;
  std::uint32_t raw_size = 0;
  std::uint32_t checksum = 0;
  Result status = OK;
  bool ready = false;  // under the pool's lock

  // Empty again, keeping its memory.
  void reset() {
    positions.clear();
    pieces.clear();
    keys.clear();
    stored.clear();
    status = OK;
    ready = false;
  }

  // Whether a block is full, whatever form its lists take: decided on the
  // positions alone, so that the bytes never depend on the threads.
  bool full() const {
    return pieces.size() >= PACK_BLOCK_PIECES_TARGET || (most_positions > 0 && positions.size() >= most_positions) ||
           pack_columns(positions.size(), pieces.size(), n_keys).end >= PACK_BLOCK_BYTES_TARGET;
  }
};

inline void store_le16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

constexpr int square_of(std::uint16_t entry) { return entry & 0xFFF; }

// The entries of `previous` that `list` leaves out and those it adds (a piece
// that changes on its square is both), each in square order.
void list_edits(const std::uint16_t* previous, std::size_t n_previous, const std::uint16_t* list, std::size_t n,
                std::vector<std::uint16_t>* removed, std::vector<std::uint16_t>* added) {
  removed->clear();
  added->clear();
  std::size_t i = 0, k = 0;
  while (i < n_previous && k < n) {
    // Most pieces stay where they were: runs of equal entries are passed over four at a time.
    while (i + 4 <= n_previous && k + 4 <= n && std::memcmp(previous + i, list + k, 8) == 0) {
      i += 4;
      k += 4;
    }
    if (i == n_previous || k == n) break;
    if (previous[i] == list[k]) {
      ++i;
      ++k;
    } else if (square_of(previous[i]) < square_of(list[k])) {
      removed->push_back(previous[i++]);
    } else if (square_of(previous[i]) > square_of(list[k])) {
      added->push_back(list[k++]);
    } else {  // another piece on the same square
      removed->push_back(previous[i++]);
      added->push_back(list[k++]);
    }
  }
  removed->insert(removed->end(), previous + i, previous + n_previous);
  added->insert(added->end(), list + k, list + n);
}

// The block's columns (pack_format.h), then one zstd frame of them. A list
// is written as its edits of the one before whenever they are fewer entries.
void compress_block(Block& b, int level) {
  try {
    const std::size_t n = b.positions.size();
    std::vector<std::uint16_t> entries, removed, added;
    std::vector<std::uint16_t> removed_counts(n);
    entries.reserve(b.pieces.size());
    for (std::size_t j = 0; j < n; ++j) {
      const Position& p = b.positions[j];
      const std::uint16_t* list = b.pieces.data() + p.pieces_begin;
      if (j > 0) {
        const Position& q = b.positions[j - 1];
        list_edits(b.pieces.data() + q.pieces_begin, q.pieces_count, list, p.pieces_count, &removed, &added);
      }
      if (j > 0 && removed.size() + added.size() < p.pieces_count) {
        removed_counts[j] = static_cast<std::uint16_t>(removed.size());
        entries.insert(entries.end(), removed.begin(), removed.end());
        entries.insert(entries.end(), added.begin(), added.end());
      } else {
        removed_counts[j] = PACK_WHOLE_LIST;
        entries.insert(entries.end(), list, list + p.pieces_count);
      }
    }
    const PackColumns c = pack_columns(n, entries.size(), b.n_keys);
    std::vector<unsigned char> raw(c.end);
    unsigned char* r = raw.data();
    store_le32(r, static_cast<std::uint32_t>(n));
    store_le32(r + 4, static_cast<std::uint32_t>(entries.size()));
    store_le32(r + 8, static_cast<std::uint32_t>(b.first_game));
    store_le32(r + 12, static_cast<std::uint32_t>(b.first_game >> 32));
    store_le32(r + 16, static_cast<std::uint32_t>(b.pieces.size()));
    store_le32(r + 20, 0);
    for (std::size_t k = 0; k < entries.size(); ++k) store_le16(r + c.pieces + 2 * k, entries[k]);
    std::uint32_t ply = 0, line = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const Position& p = b.positions[j];
      store_le16(r + c.counts + 2 * j, static_cast<std::uint16_t>(p.pieces_count));
      store_le16(r + c.removed + 2 * j, removed_counts[j]);
      store_le32(r + c.ply + 4 * j, p.trailer.ply - ply);
      std::memcpy(r + c.move_from + 4 * j, p.trailer.move_from, 4);
      std::memcpy(r + c.move_to + 4 * j, p.trailer.move_to, 4);
      r[c.promo + j] = p.trailer.promo;
      r[c.flags + j] = p.trailer.flags;
      std::memcpy(r + c.next_from + 4 * j, p.next.from, 4);
      std::memcpy(r + c.next_to + 4 * j, p.next.to, 4);
      r[c.next_promo + j] = p.next.promo;
      r[c.move_flags + j] = p.move_flags;
      r[c.game_step + j] = p.game_step;
      store_le32(r + c.input + 4 * j, p.input);
      store_le32(r + c.line + 4 * j, p.line - line);
      ply = p.trailer.ply;
      line = p.line;
      for (std::size_t k = 0; k < b.n_keys; ++k) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(b.keys[j * b.n_keys + k]);
        for (std::size_t byte = 0; byte < 4; ++byte) {
          r[c.keys + (4 * k + byte) * n + j] = static_cast<unsigned char>(bits >> (8 * byte));
        }
      }
    }
    thread_local std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    b.stored.resize(ZSTD_compressBound(raw.size()));
    const std::size_t size = cctx == nullptr ? 0
                                             : ZSTD_compressCCtx(cctx.get(), b.stored.data(), b.stored.size(),
                                                                 raw.data(), raw.size(), level);
    if (cctx == nullptr || ZSTD_isError(size)) {
      b.status = ERR_ALLOC;  // libzstd fails here only for want of memory
      return;
    }
    b.stored.resize(size);
    b.raw_size = static_cast<std::uint32_t>(raw.size());
    b.checksum = static_cast<std::uint32_t>(crc32(0, b.stored.data(), static_cast<uInt>(size)));
  } catch (const std::bad_alloc&) {
    b.status = ERR_ALLOC;
  }
}

// ---- The output ------------------------------------------------------------------

// A file created next to the output under a name no other process holds,
// renamed to the output when complete, removed otherwise. An output that
// exists must be a regular file (a symbolic link to one is followed, and
// stays a link): a rename would replace a device or a FIFO.
struct Output {
  std::string path;    // as given, for messages
  std::string target;  // the file renamed into place
  std::string temporary;
  int fd = -1;
  std::uint64_t offset = 0;
  std::vector<unsigned char> index;  // the block entries, as they go

  ~Output() {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(temporary.c_str());
    }
  }

  Result create(Failure* failure) {
    struct stat st;
    target = path;
    if (::lstat(path.c_str(), &st) == 0) {
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return fail(failure, ERR_NOT_REGULAR, path.c_str());
      char* real = ::realpath(path.c_str(), nullptr);
      if (real == nullptr) return fail(failure, ERR_CREATE, path.c_str(), errno);
      target = real;
      std::free(real);
    }
    // The permissions a new file gets from the umask, as any output would.
    const auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
      char suffix[64];
      std::snprintf(suffix, sizeof suffix, ".%d-%llx.tmp", static_cast<int>(getpid()),
                    (seed * 0x9E3779B97F4A7C15ull + attempt) >> 20);
      temporary = target + suffix;
      fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0 || errno != EEXIST) break;
    }
    return fd >= 0 ? OK : fail(failure, ERR_CREATE, path.c_str(), errno);
  }

  Result write(const void* data, std::size_t size, Failure* failure) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return fail(failure, ERR_WRITE, path.c_str(), n < 0 ? errno : ENOSPC);
      p += n;
      size -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    return OK;
  }

  // Flushed to the disk before the rename, and the rename flushed too, so
  // that after a crash the output is either complete or absent.
  Result finish(Failure* failure) {
    if (::fsync(fd) != 0) return fail(failure, ERR_WRITE, path.c_str(), errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) {
      ::unlink(temporary.c_str());
      return fail(failure, ERR_WRITE, path.c_str(), errno);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
      const int error = errno;
      ::unlink(temporary.c_str());
      return fail(failure, ERR_RENAME, path.c_str(), error);
    }
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      (void)::fsync(dir);
      ::close(dir);
    }
    return OK;
  }
};

// ---- The packer ---------------------------------------------------------------------

struct Packer {
  const std::vector<std::string>& inputs;
  const PackWriteOptions& options;
  const PackEvents* events;
  Failure* failure;
  Output out;
  std::size_t max_chunks = 1, max_blocks = 1;  // in flight
  std::deque<std::unique_ptr<Chunk>> chunks;
  std::deque<std::unique_ptr<Block>> blocks;  // shipped to the pool, not yet written
  std::unique_ptr<Block> block;               // being filled
  bool block_full = false;                    // closes with the next position

  // Where the positions stand, in input order.
  std::uint32_t input = 0;
  std::uint32_t positions_in_input = 0;
  bool game_open = false;         // a position has been seen since the game's start
  bool previous_in_game = false;  // the last position may yet get its next move
  bool previous_has_ply = false;  // its line gave its ply, previous_ply
  std::uint32_t previous_ply = 0;
  std::vector<float> game_keys;
  PackSummary summary;
  // Chunks and blocks done with, kept for reuse with their memory: fresh
  // buffers of a megabyte would cost their pages' faults every time.
  std::vector<std::unique_ptr<Chunk>> spare_chunks;
  std::vector<std::unique_ptr<Block>> spare_blocks;
  // Last, so that its threads stop before anything their tasks use goes.
  TaskPool pool;

  template <class T>
  static std::unique_ptr<T> take(std::vector<std::unique_ptr<T>>& spare) {
    if (spare.empty()) return std::make_unique<T>();
    std::unique_ptr<T> item = std::move(spare.back());
    spare.pop_back();
    item->reset();
    return item;
  }
  template <class T>
  static void give(std::vector<std::unique_ptr<T>>& spare, std::unique_ptr<T> item) {
    if (spare.size() < spare.capacity()) spare.push_back(std::move(item));  // room was made at the start
  }

  Packer(const std::vector<std::string>& i, const PackWriteOptions& o, const PackEvents* e, Failure* f)
      : inputs(i), options(o), events(e), failure(f) {}

  std::size_t n_keys() const { return options.keys.size() + options.game_keys.size(); }

  Result progress() {
    if (events == nullptr || events->progress == nullptr) return OK;
    const Result r = events->progress(events->context, summary.positions);
    return r == OK ? OK : fail(failure, r);
  }

  Result new_block(std::uint64_t first_game) {
    try {
      block = take(spare_blocks);
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    block->first_game = first_game;
    block->n_keys = n_keys();
    block->most_positions = options.block_positions;
    try {
      block->pieces.reserve(PACK_BLOCK_PIECES_TARGET + N_SQUARES);  // what a block holds at most, or nearly
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    block_full = false;
    return OK;
  }

  // Hands the block being filled to the pool.
  Result ship() {
    if (block == nullptr || block->positions.empty()) return OK;
    Block* b = block.get();
    b->n_positions = static_cast<std::uint32_t>(b->positions.size());
    try {
      blocks.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    const int level = options.zstd_level;
    pool.submit([this, b, level] {
      compress_block(*b, level);
      pool.finish([b] { b->ready = true; });
    });
    return write_blocks(max_blocks);
  }

  // Writes the compressed blocks in order, waiting until no more than `keep` are in flight.
  Result write_blocks(std::size_t keep) {
    while (!blocks.empty()) {
      Block* b = blocks.front().get();
      if (blocks.size() > keep) {
        pool.wait([b] { return b->ready; });
      } else if (!pool.check([b] { return b->ready; })) {
        break;
      }
      if (b->status != OK) return fail(failure, b->status);
      unsigned char entry[PACK_BLOCK_ENTRY_SIZE];
      store_le32(entry, static_cast<std::uint32_t>(out.offset));
      store_le32(entry + 4, static_cast<std::uint32_t>(out.offset >> 32));
      store_le32(entry + 8, static_cast<std::uint32_t>(b->stored.size()));
      store_le32(entry + 12, b->raw_size);
      store_le32(entry + 16, b->n_positions);
      store_le32(entry + 20, b->checksum);
      if (const Result w = out.write(b->stored.data(), b->stored.size(), failure); w != OK) return w;
      try {
        out.index.insert(out.index.end(), entry, entry + sizeof entry);
      } catch (const std::bad_alloc&) {
        return fail(failure, ERR_ALLOC);
      }
      ++summary.blocks;
      give(spare_blocks, std::move(blocks.front()));
      blocks.pop_front();
    }
    return OK;
  }

  // One position, in order.
  Result add_position(const Chunk& c, const ParsedLine& p) {
    PlyTrailer trailer = p.trailer;
    if ((p.fields & LINE_HAS_PLY) == 0) trailer.ply = positions_in_input;
    ++positions_in_input;
    const bool starts_game = !game_open;
    if (starts_game) {
      game_open = true;
      ++summary.games;
    }
    const std::uint64_t game = summary.games - 1;
    const bool has_move = (p.fields & LINE_HAS_MOVE) != 0, has_ply = (p.fields & LINE_HAS_PLY) != 0;
    // This line's move is the one played from the previous position only when
    // nothing is missing between them: no line skipped (previous_in_game),
    // and plies one apart where both lines give theirs.
    const bool follows = previous_in_game && !(has_ply && previous_has_ply && trailer.ply != previous_ply + 1);
    if (follows && has_move) {
      Position& previous = block->positions.back();
      std::memcpy(previous.next.from, trailer.move_from, 4);
      std::memcpy(previous.next.to, trailer.move_to, 4);
      previous.next.promo = trailer.promo;
      previous.move_flags |= PACK_HAS_NEXT_MOVE;
    }
    if (block == nullptr || block_full) {
      if (const Result shipped = ship(); shipped != OK) return shipped;
      if (const Result made = new_block(game); made != OK) return made;
    }
    try {
      Block& b = *block;
      Position position{};
      position.trailer = trailer;
      position.move_flags = has_move ? PACK_HAS_MOVE : 0;
      position.game_step = starts_game && !b.positions.empty() ? 1 : 0;
      position.input = input;
      position.line = p.line;
      position.pieces_begin = static_cast<std::uint32_t>(b.pieces.size());
      position.pieces_count = p.pieces_end - p.pieces_begin;
      b.pieces.insert(b.pieces.end(), c.pieces.begin() + p.pieces_begin, c.pieces.begin() + p.pieces_end);
      b.keys.insert(b.keys.end(), c.keys.begin() + p.keys_begin, c.keys.begin() + p.keys_begin + options.keys.size());
      b.keys.insert(b.keys.end(), game_keys.begin(), game_keys.end());
      b.positions.push_back(position);
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    previous_in_game = true;
    previous_has_ply = has_ply;
    previous_ply = trailer.ply;
    block_full = block->full();
    ++summary.positions;
    return OK;
  }

  void end_game(const float* keys) {
    game_open = false;
    previous_in_game = false;
    for (std::size_t k = 0; k < game_keys.size(); ++k) {
      game_keys[k] = keys != nullptr ? keys[k] : std::numeric_limits<float>::quiet_NaN();
    }
  }

  // Puts a parsed chunk's lines in order.
  Result sequence(const Chunk& c) {
    if (c.status != OK) return fail(failure, c.status);
    if (c.input != input) {  // the first chunk of an input
      input = c.input;
      positions_in_input = 0;
      end_game(nullptr);
    }
    for (const ParsedLine& p : c.parsed) {
      if (p.kind == OK) {
        if (const Result added = add_position(c, p); added != OK) return added;
      } else if (p.kind == PLY_LOG_METADATA) {
        end_game(c.keys.data() + p.keys_begin);
      } else {
        previous_in_game = false;  // the skipped line's board lies between: no next move across it
        ++summary.lines_skipped;
        if (events != nullptr && events->line_skipped != nullptr) {
          Failure skipped;
          (void)fail(&skipped, p.kind, inputs[c.input].c_str());
          skipped.line = p.line;
          skipped.fen4_error = p.kind == PLY_LOG_BAD_FEN4 ? p.fen4_error : 0;
          if (const Result r = events->line_skipped(events->context, skipped); r != OK) return fail(failure, r);
        }
      }
    }
    if (c.input_ends) end_game(nullptr);
    return progress();
  }

  // Sequences the oldest chunk once the pool has parsed it.
  Result drain_chunk() {
    Chunk* c = chunks.front().get();
    pool.wait([c] { return c->ready; });
    const Result sequenced = sequence(*c);
    give(spare_chunks, std::move(chunks.front()));
    chunks.pop_front();
    return sequenced;
  }

  Result submit(std::unique_ptr<Chunk> chunk) {
    Chunk* c = chunk.get();
    try {
      chunks.push_back(std::move(chunk));
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    pool.submit([this, c] {
      parse_chunk(*c, options);
      pool.finish([c] { c->ready = true; });
    });
    while (chunks.size() > max_chunks) {
      if (const Result drained = drain_chunk(); drained != OK) return drained;
    }
    return OK;
  }

  Result read_input(std::uint32_t k) {
    PlyLogReader* reader = nullptr;
    if (const Result opened = ply_log_open(inputs[k].c_str(), PlyLogOptions{}, &reader, failure); opened != OK) {
      return opened;
    }
    const std::unique_ptr<PlyLogReader, decltype(&ply_log_close)> owner(reader, ply_log_close);
    std::unique_ptr<Chunk> chunk;
    std::size_t lines = 0;  // parsed into the chunk as they were read
    for (;;) {
      if (chunk == nullptr) {
        lines = 0;
        try {
          chunk = take(spare_chunks);
          chunk->input = k;
          chunk->first_line = static_cast<std::uint32_t>(ply_log_line_number(reader) + 1);
          chunk->starts.reserve(CHUNK_LINES);
          if (!pool.runs_inline()) chunk->text.reserve(CHUNK_BYTES + LINE_BUF_SIZE);
        } catch (const std::bad_alloc&) {
          return fail(failure, ERR_ALLOC);
        }
      }
      const char* line = nullptr;
      const Result read = ply_log_next_line(reader, &line, failure);
      if (read == PAUSED) {
        if (const Result r = progress(); r != OK) return r;
        continue;
      }
      if (read != OK && read != END) return read;
      if (read == OK) {
        try {
          // On one thread a line is parsed where it lies; the pool's threads get copies.
          if (pool.runs_inline()) {
            parse_line(*chunk, line, static_cast<std::uint32_t>(ply_log_line_number(reader)), options);
            ++lines;
          } else {
            chunk->starts.push_back(static_cast<std::uint32_t>(chunk->text.size()));
            chunk->text.append(line, std::strlen(line) + 1);
          }
        } catch (const std::bad_alloc&) {
          return fail(failure, ERR_ALLOC);
        }
      }
      if (read == END || chunk->starts.size() == CHUNK_LINES || chunk->text.size() >= CHUNK_BYTES ||
          lines == CHUNK_LINES) {
        chunk->input_ends = read == END;
        if (const Result submitted = submit(std::move(chunk)); submitted != OK) return submitted;
        if (read == END) return OK;
      }
    }
  }

  Result write_index() {
    std::vector<unsigned char> tail;
    try {
      tail.resize(PACK_INDEX_HEAD_SIZE);
      store_le32(tail.data(), static_cast<std::uint32_t>(summary.positions));
      store_le32(tail.data() + 4, static_cast<std::uint32_t>(summary.positions >> 32));
      store_le32(tail.data() + 8, static_cast<std::uint32_t>(summary.games));
      store_le32(tail.data() + 12, static_cast<std::uint32_t>(summary.games >> 32));
      store_le32(tail.data() + 16, summary.blocks);
      store_le32(tail.data() + 20, static_cast<std::uint32_t>(n_keys()));
      store_le32(tail.data() + 24, static_cast<std::uint32_t>(inputs.size()));
      store_le32(tail.data() + 28, 0);
      tail.insert(tail.end(), out.index.begin(), out.index.end());
      for (std::size_t k = 0; k < n_keys(); ++k) {
        const bool per_game = k >= options.keys.size();
        const std::string& name = per_game ? options.game_keys[k - options.keys.size()] : options.keys[k];
        tail.push_back(per_game ? 1 : 0);
        tail.push_back(static_cast<unsigned char>(name.size()));
        tail.insert(tail.end(), name.begin(), name.end());
      }
      for (const std::string& name : inputs) {
        unsigned char length[4];
        store_le32(length, static_cast<std::uint32_t>(name.size()));
        tail.insert(tail.end(), length, length + 4);
        tail.insert(tail.end(), name.begin(), name.end());
      }
    } catch (const std::bad_alloc&) {
      return fail(failure, ERR_ALLOC);
    }
    const std::uint64_t index_offset = out.offset;
    const std::uint64_t index_size = tail.size();
    unsigned char footer[PACK_FOOTER_SIZE];
    store_le32(footer, static_cast<std::uint32_t>(index_offset));
    store_le32(footer + 4, static_cast<std::uint32_t>(index_offset >> 32));
    store_le32(footer + 8, static_cast<std::uint32_t>(index_size));
    store_le32(footer + 12, static_cast<std::uint32_t>(index_size >> 32));
    store_le32(footer + 16, static_cast<std::uint32_t>(crc32(0, tail.data(), static_cast<uInt>(tail.size()))));
    store_le32(footer + 20, static_cast<std::uint32_t>(crc32(0, footer, 20)));
    std::memcpy(footer + 24, PACK_INDEX_MAGIC, sizeof PACK_INDEX_MAGIC);
    if (const Result w = out.write(tail.data(), tail.size(), failure); w != OK) return w;
    return out.write(footer, sizeof footer, failure);
  }

  Result run(const char* output) {
    if (const Result started = pool.start(options.threads == 0 ? available_processors() : options.threads);
        started != OK) {
      return fail(failure, started);
    }
    const int threads = pool.threads();
    max_chunks = threads <= 1 ? 0 : 2 * static_cast<std::size_t>(threads);
    max_blocks = threads <= 1 ? 0 : static_cast<std::size_t>(threads);
    game_keys.assign(options.game_keys.size(), std::numeric_limits<float>::quiet_NaN());
    spare_chunks.reserve(4);
    spare_blocks.reserve(4);
    input = std::numeric_limits<std::uint32_t>::max();
    out.path = output;
    if (const Result created = out.create(failure); created != OK) return created;
    unsigned char header[PACK_HEADER_SIZE] = {};
    std::memcpy(header, PACK_MAGIC, sizeof PACK_MAGIC);
    store_le32(header + 8, PACK_VERSION);
    if (const Result w = out.write(header, sizeof header, failure); w != OK) return w;
    for (std::uint32_t k = 0; k < inputs.size(); ++k) {
      if (const Result read = read_input(k); read != OK) return read;
    }
    while (!chunks.empty()) {
      if (const Result drained = drain_chunk(); drained != OK) return drained;
    }
    if (const Result shipped = ship(); shipped != OK) return shipped;
    if (const Result written = write_blocks(0); written != OK) return written;
    if (const Result indexed = write_index(); indexed != OK) return indexed;
    summary.bytes = out.offset;
    return out.finish(failure);
  }
};

// The names of the labels every pack has, and of those the loader adds to a
// batch beside them, which keys cannot take.
constexpr const char* LABEL_NAMES[] = {
    "ply",      "move_from",     "move_to", "promo", "flags", "next_move_from", "next_move_to", "next_promo",
    "has_move", "has_next_move", "game",    "input", "line",  "source",         "loader_state"};

bool valid_key_name(const std::string& name) {
  for (const char* label : LABEL_NAMES) {
    if (name == label) return false;
  }
  return !name.empty() && name.size() <= PACK_KEY_NAME_MAX && name.find_first_of("\"\\") == std::string::npos &&
         name.find('\0') == std::string::npos;
}

Result check_options(const std::vector<std::string>& inputs, const PackWriteOptions& o, Failure* failure) {
  if (inputs.empty() || o.threads < 0 || o.threads > PACK_THREADS_MAX || o.zstd_level < PACK_ZSTD_LEVEL_MIN ||
      o.zstd_level > PACK_ZSTD_LEVEL_MAX || inputs.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(failure, ERR_ARGUMENT);
  }
  // A key refused is named in the failure's path.
  std::vector<std::string> names = o.keys;
  names.insert(names.end(), o.game_keys.begin(), o.game_keys.end());
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (k == PACK_KEYS_MAX || !valid_key_name(names[k])) return fail(failure, ERR_ARGUMENT, names[k].c_str());
    for (std::size_t j = 0; j < k; ++j) {
      if (names[j] == names[k]) return fail(failure, ERR_ARGUMENT, names[k].c_str());
    }
  }
  return OK;
}

// Refuses an output that is one of the inputs (the rename would replace an
// input with the pack) and an input given twice under any name ("-" twice
// included), before anything is written. An input that cannot be looked at
// is left to fail when it is opened.
Result check_files(const std::vector<std::string>& inputs, const char* output, Failure* failure) {
  struct stat out {};
  const bool output_exists = ::stat(output, &out) == 0;
  struct File {
    dev_t device;
    ino_t inode;
    std::size_t k;
    bool operator<(const File& o) const { return std::tie(device, inode, k) < std::tie(o.device, o.inode, o.k); }
  };
  std::vector<File> files;
  files.reserve(inputs.size());
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    struct stat in {};
    if ((inputs[k] == "-" ? ::fstat(STDIN_FILENO, &in) : ::stat(inputs[k].c_str(), &in)) != 0) continue;
    if (output_exists && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
      return fail(failure, PACK_ERR_OUTPUT_IS_INPUT, inputs[k].c_str());
    }
    files.push_back({in.st_dev, in.st_ino, k});
  }
  std::sort(files.begin(), files.end());
  std::size_t twice = inputs.size();  // the first input in order that repeats an earlier one
  for (std::size_t j = 1; j < files.size(); ++j) {
    if (files[j].device == files[j - 1].device && files[j].inode == files[j - 1].inode) {
      twice = std::min(twice, files[j].k);
    }
  }
  return twice < inputs.size() ? fail(failure, PACK_ERR_INPUT_TWICE, inputs[twice].c_str()) : OK;
}

}  // namespace

Result pack_write(const std::vector<std::string>& inputs, const char* output, const PackWriteOptions& options,
                  const PackEvents* events, PackSummary* summary, Failure* failure) {
  if (output == nullptr) return fail(failure, ERR_NULL);
  try {
    if (const Result checked = check_options(inputs, options, failure); checked != OK) return checked;
    if (const Result checked = check_files(inputs, output, failure); checked != OK) return checked;
    Packer packer(inputs, options, events, failure);
    const Result result = packer.run(output);
    if (summary != nullptr) *summary = packer.summary;
    return result;
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC);
  }
}

}  // namespace q4d
