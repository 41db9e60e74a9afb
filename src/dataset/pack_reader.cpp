// Reading a packed dataset: every number of the file is checked before it is
// used, against the file's size, the index's own counts and the fixed caps,
// so that a damaged or hostile file is a failure naming the file and the
// block, never a crash, a wrong answer or an allocation it does not back
// with its own bytes.
#include "dataset/pack_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "base/byte_order.h"
#include "dataset/pack_format.h"

namespace q4d {

struct PackReader {
  int fd = -1;
  std::string path;
  std::uint64_t size = 0;
  PackInfo info;
  std::vector<std::uint32_t> checksums;  // of each block's stored bytes

  ~PackReader() {
    if (fd >= 0) ::close(fd);
  }
};

namespace {

std::uint64_t load_le64(const unsigned char* p) { return load_le32(p) | std::uint64_t{load_le32(p + 4)} << 32; }

// All `size` bytes at `offset`, or ERR_READ; PACK_ERR_SHRUNK when the file
// ends before them (it was cut after it was opened).
Result read_at(const PackReader& r, std::uint64_t offset, void* out, std::size_t size, Failure* failure) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t n = ::pread(r.fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(failure, ERR_READ, r.path.c_str(), errno);
    if (n == 0) return fail(failure, PACK_ERR_SHRUNK, r.path.c_str());
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return OK;
}

std::uint32_t crc_of(const unsigned char* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size)));
}

// The index, read front to back a buffer at a time with its CRC-32 taken on
// the way: memory is spent only on what its bytes have shown to be sound, so
// that a footer declaring a huge index (of a sparse file, say) fails on its
// first bytes that cannot be, without reading or allocating the rest.
class IndexBytes {
 public:
  IndexBytes(const PackReader& r, std::uint64_t offset, std::uint64_t size)
      : r_(r),
        next_(offset),
        unread_(size),
        left_(size),
        buffer_(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 16))) {}

  // Bytes of the index not yet taken.
  std::uint64_t left() const { return left_; }

  // The next n bytes (at most left()).
  Result take(void* out, std::size_t n, Failure* failure) {
    auto* p = static_cast<unsigned char*>(out);
    left_ -= n;
    while (n > 0) {
      if (at_ == filled_) {
        filled_ = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), unread_));
        if (const Result read = read_at(r_, next_, buffer_.data(), filled_, failure); read != OK) return read;
        crc_ = static_cast<std::uint32_t>(crc32(crc_, buffer_.data(), static_cast<uInt>(filled_)));
        next_ += filled_;
        unread_ -= filled_;
        at_ = 0;
      }
      const std::size_t k = std::min(n, filled_ - at_);
      std::memcpy(p, buffer_.data() + at_, k);
      p += k;
      at_ += k;
      n -= k;
    }
    return OK;
  }

  // The CRC-32 of the bytes read, the whole index once left() is 0.
  std::uint32_t crc() const { return crc_; }

 private:
  const PackReader& r_;
  std::uint64_t next_, unread_, left_;
  std::vector<unsigned char> buffer_;
  std::size_t at_ = 0, filled_ = 0;
  std::uint32_t crc_ = 0;
};

// No input's name is longer than a path the system can open.
constexpr std::uint32_t PACK_INPUT_NAME_MAX = 4096;

// Reads the index into r.info: the counts first, which must fit the index's
// size, then each entry checked as it comes, and its CRC-32 once all is
// read; the blocks one after another from the header to the index; nothing
// left over. PACK_ERR_INDEX for anything else.
Result parse_index(IndexBytes& in, std::uint64_t index_offset, std::uint32_t crc, PackReader& r, Failure* failure) {
  const auto damaged = [&] { return fail(failure, PACK_ERR_INDEX, r.path.c_str()); };
  unsigned char head[PACK_INDEX_HEAD_SIZE];
  if (in.left() < sizeof head) return damaged();
  if (const Result read = in.take(head, sizeof head, failure); read != OK) return read;
  PackInfo& info = r.info;
  info.version = PACK_VERSION;
  info.n_positions = load_le64(head);
  info.n_games = load_le64(head + 8);
  const std::uint64_t n_blocks = load_le32(head + 16), n_keys = load_le32(head + 20), n_inputs = load_le32(head + 24);
  if (load_le32(head + 28) != 0 || n_keys > PACK_KEYS_MAX || info.n_games > info.n_positions ||
      (info.n_positions > 0) != (info.n_games > 0) || n_blocks > index_offset - PACK_HEADER_SIZE) {
    return damaged();
  }
  // The least and the most bytes the counts take: every name of at least 1 byte and at most its cap.
  const std::uint64_t fixed = n_blocks * PACK_BLOCK_ENTRY_SIZE;
  if (in.left() < fixed + n_keys * 3 + n_inputs * 5 ||
      in.left() > fixed + n_keys * (2 + PACK_KEY_NAME_MAX) + n_inputs * (4 + PACK_INPUT_NAME_MAX)) {
    return damaged();
  }
  info.blocks.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n_blocks, 1 << 16)));
  r.checksums.reserve(info.blocks.capacity());
  std::uint64_t offset = PACK_HEADER_SIZE, first = 0;
  const std::uint64_t stored_max = ZSTD_compressBound(PACK_BLOCK_RAW_MAX);
  for (std::uint64_t k = 0; k < n_blocks; ++k) {
    unsigned char e[PACK_BLOCK_ENTRY_SIZE];
    if (const Result read = in.take(e, sizeof e, failure); read != OK) return read;
    PackBlockInfo b;
    b.offset = load_le64(e);
    b.stored_size = load_le32(e + 8);
    b.raw_size = load_le32(e + 12);
    b.n_positions = load_le32(e + 16);
    b.first_position = first;
    const std::uint64_t smallest = pack_columns(b.n_positions, 0, n_keys).end;  // every list empty
    if (b.offset != offset || b.stored_size == 0 || b.stored_size > stored_max || b.raw_size > PACK_BLOCK_RAW_MAX ||
        b.n_positions == 0 || smallest > b.raw_size || b.stored_size > index_offset - offset) {
      return damaged();
    }
    info.blocks.push_back(b);
    r.checksums.push_back(load_le32(e + 20));
    offset += b.stored_size;
    first += b.n_positions;  // at most 2^32 blocks of at most 2^20 / 35 positions: no overflow
  }
  if (offset != index_offset || first != info.n_positions) return damaged();
  info.keys.resize(static_cast<std::size_t>(n_keys));
  for (PackKey& key : info.keys) {
    unsigned char kind[2];
    if (in.left() < sizeof kind) return damaged();
    if (const Result read = in.take(kind, sizeof kind, failure); read != OK) return read;
    const unsigned per_game = kind[0], length = kind[1];
    if (per_game > 1 || length == 0 || length > PACK_KEY_NAME_MAX || in.left() < length) return damaged();
    key.per_game = per_game == 1;
    key.name.resize(length);
    if (const Result read = in.take(key.name.data(), length, failure); read != OK) return read;
  }
  info.inputs.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n_inputs, 1 << 16)));
  for (std::uint64_t k = 0; k < n_inputs; ++k) {
    unsigned char size[4];
    if (in.left() < sizeof size) return damaged();
    if (const Result read = in.take(size, sizeof size, failure); read != OK) return read;
    const std::uint32_t length = load_le32(size);
    if (length == 0 || length > PACK_INPUT_NAME_MAX || in.left() < length) return damaged();
    std::string& name = info.inputs.emplace_back(length, '\0');
    if (const Result read = in.take(name.data(), length, failure); read != OK) return read;
  }
  return in.left() == 0 && in.crc() == crc ? OK : damaged();
}

Result open_pack(const char* path, PackReader& r, Failure* failure) {
  // Non-blocking, so that a FIFO is refused rather than waited on.
  r.fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (r.fd < 0) return fail(failure, ERR_OPEN, path, errno);
  struct stat st;
  if (fstat(r.fd, &st) != 0) return fail(failure, ERR_OPEN, path, errno);
  if (!S_ISREG(st.st_mode)) return fail(failure, ERR_NOT_REGULAR, path);
  r.size = static_cast<std::uint64_t>(st.st_size);

  unsigned char header[PACK_HEADER_SIZE] = {};
  const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(r.size, sizeof header));
  if (const Result read = read_at(r, 0, header, have, failure); read != OK) return read;
  // A file cut inside its header is still a pack that is cut, if what is left says so.
  if (std::memcmp(header, PACK_MAGIC, std::min(have, sizeof PACK_MAGIC)) != 0 || have < sizeof PACK_MAGIC) {
    return fail(failure,
                have < sizeof PACK_MAGIC && have > 0 && std::memcmp(header, PACK_MAGIC, have) == 0 ? PACK_ERR_FOOTER
                                                                                                   : PACK_ERR_MAGIC,
                path);
  }
  if (have == sizeof header && (load_le32(header + 8) != PACK_VERSION || load_le32(header + 12) != 0)) {
    return fail(failure, PACK_ERR_VERSION, path);
  }
  if (r.size < PACK_HEADER_SIZE + PACK_FOOTER_SIZE) return fail(failure, PACK_ERR_FOOTER, path);

  unsigned char footer[PACK_FOOTER_SIZE];
  if (const Result read = read_at(r, r.size - sizeof footer, footer, sizeof footer, failure); read != OK) return read;
  if (std::memcmp(footer + 24, PACK_INDEX_MAGIC, sizeof PACK_INDEX_MAGIC) != 0 ||
      load_le32(footer + 20) != crc_of(footer, 20)) {
    return fail(failure, PACK_ERR_FOOTER, path);
  }
  const std::uint64_t index_offset = load_le64(footer), index_size = load_le64(footer + 8);
  const std::uint64_t index_end = r.size - PACK_FOOTER_SIZE;
  if (index_offset < PACK_HEADER_SIZE || index_offset > index_end || index_size != index_end - index_offset) {
    return fail(failure, PACK_ERR_INDEX, path);
  }
  IndexBytes index(r, index_offset, index_size);
  return parse_index(index, index_offset, load_le32(footer + 16), r, failure);
}

Result block_failure(Failure* failure, Result result, const PackReader& r, std::uint32_t k) {
  (void)fail(failure, result, r.path.c_str());
  if (failure != nullptr) failure->block = k;
  return result;
}

// What one thread keeps between blocks.
struct Scratch {
  std::vector<unsigned char> stored, raw;
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> dctx{ZSTD_createDCtx(), ZSTD_freeDCtx};
};

// The PieceWord bits of each 4-bit piece code besides the square; 0 for the
// two codes that are no piece.
constexpr std::array<PieceWord, 16> CODE_WORDS = [] {
  std::array<PieceWord, 16> words{};
  for (int code = 1; code < 16; ++code) {
    if (code != 8) words[code] = piece_word(0, code % 8 == 7 ? PAWN_AXIS_Y : PAWN_AXIS_W, PACK_PIECE_LETTERS[code]);
  }
  return words;
}();

// The PieceWord of entry `e` of the pieces column, or 0 for no piece.
inline PieceWord entry_word(const unsigned char* entries, std::size_t e) {
  const unsigned v = load_le16(entries + 2 * e);
  const PieceWord bits = CODE_WORDS[v >> 12];
  return bits == 0 ? 0 : bits | (v & 0xFFF);
}

// Position j's list from its edits of the list before it (at `previous`):
// the entries it leaves out must be there, and what it adds must take
// squares of its own, in order; the runs of entries in between are copied
// whole. False for anything else.
bool apply_edits(const PieceWord* previous, std::uint32_t n_previous, const unsigned char* entries, std::size_t e,
                 std::uint32_t n_removed, std::uint32_t n_added, PieceWord* out) {
  const PieceWord* kept = previous;  // the next entry of the previous list not yet copied
  const PieceWord* const end = previous + n_previous;
  // The first entry at or after `from` whose square is at least `square`.
  auto seek = [end](const PieceWord* from, int square) {
    return std::lower_bound(from, end, square, [](PieceWord w, int s) { return piece_square(w) < s; });
  };
  auto copy_to = [&](const PieceWord* to) {
    out = std::copy(kept, to, out);
    kept = to;
  };
  std::uint32_t x = 0, y = 0;
  int last_added = -1;
  while (x < n_removed || y < n_added) {
    const PieceWord removal = x < n_removed ? entry_word(entries, e + x) : 0;
    const PieceWord addition = y < n_added ? entry_word(entries, e + n_removed + y) : 0;
    if ((x < n_removed && removal == 0) || (y < n_added && addition == 0)) return false;
    // A piece taken from a square comes before one put on it.
    if (x < n_removed && (y == n_added || piece_square(removal) <= piece_square(addition))) {
      const PieceWord* at = seek(kept, piece_square(removal));
      if (at == end || *at != removal) return false;
      copy_to(at);
      ++kept;
      ++x;
    } else {
      const int square = piece_square(addition);
      if (square <= last_added) return false;
      const PieceWord* at = seek(kept, square);
      if (at != end && piece_square(*at) == square) return false;  // the square is taken
      copy_to(at);
      *out++ = addition;
      last_added = square;
      ++y;
    }
  }
  copy_to(end);
  return true;
}

// The block's columns into `out`, each value checked against the index and
// the rest of the block.
bool decode_block(const unsigned char* r, std::size_t raw_size, const PackInfo& info, std::uint32_t k, PackBlock* out) {
  const PackBlockInfo& b = info.blocks[k];
  const std::size_t n_keys = info.keys.size();
  if (raw_size < PACK_BLOCK_HEAD_SIZE) return false;
  const std::uint32_t n = load_le32(r), n_entries = load_le32(r + 4), listed = load_le32(r + 16);
  const std::uint64_t first_game = load_le64(r + 8);
  if (n != b.n_positions || pack_columns(n, n_entries, n_keys).end != raw_size || listed > PACK_BLOCK_PIECES_MAX ||
      load_le32(r + 20) != 0 || first_game >= info.n_games) {
    return false;
  }
  const PackColumns c = pack_columns(n, n_entries, n_keys);
  const unsigned char* entries = r + c.pieces;
  out->block = k;
  out->first_position = b.first_position;
  out->n_positions = n;
  out->piece_start.resize(n + std::size_t{1});
  out->pieces.resize(listed);
  out->trailers.resize(n);
  out->next_moves.resize(n);
  out->move_flags.resize(n);
  out->games.resize(n);
  out->inputs.resize(n);
  out->lines.resize(n);
  out->keys.resize(n * n_keys);

  std::uint32_t o = 0, ply = 0, line = 0;
  std::size_t e = 0;
  std::uint64_t game = first_game;
  for (std::uint32_t j = 0; j < n; ++j) {
    const std::uint32_t count = load_le16(r + c.counts + 2 * std::size_t{j});
    const std::uint32_t removed = load_le16(r + c.removed + 2 * std::size_t{j});
    if (count > listed - o) return false;
    out->piece_start[j] = o;
    PieceWord* list = out->pieces.data() + o;
    if (removed == PACK_WHOLE_LIST) {
      if (count > n_entries - e) return false;
      int previous_square = -1;  // squares strictly rising: sorted, and each once
      for (std::uint32_t i = 0; i < count; ++i) {
        const PieceWord w = entry_word(entries, e + i);
        if (w == 0 || piece_square(w) <= previous_square) return false;
        previous_square = piece_square(w);
        list[i] = w;
      }
      e += count;
    } else {
      if (j == 0) return false;
      const std::uint32_t previous = out->piece_start[j - 1], n_previous = o - previous;
      if (removed > n_previous || count < n_previous - removed) return false;
      const std::uint32_t added = count - (n_previous - removed);
      if (std::size_t{removed} + added > n_entries - e) return false;
      if (!apply_edits(out->pieces.data() + previous, n_previous, entries, e, removed, added, list)) return false;
      e += std::size_t{removed} + added;
    }
    o += count;

    PlyTrailer& t = out->trailers[j];
    ply += load_le32(r + c.ply + 4 * std::size_t{j});
    t.ply = ply;
    std::memcpy(t.move_from, r + c.move_from + 4 * std::size_t{j}, 4);
    std::memcpy(t.move_to, r + c.move_to + 4 * std::size_t{j}, 4);
    t.promo = r[c.promo + j];
    t.flags = r[c.flags + j];
    PackMove& next = out->next_moves[j];
    std::memcpy(next.from, r + c.next_from + 4 * std::size_t{j}, 4);
    std::memcpy(next.to, r + c.next_to + 4 * std::size_t{j}, 4);
    next.promo = r[c.next_promo + j];
    const std::uint8_t flags = r[c.move_flags + j], step = r[c.game_step + j];
    if ((flags & ~(PACK_HAS_MOVE | PACK_HAS_NEXT_MOVE)) != 0 || step > 1 || (j == 0 && step != 0)) return false;
    out->move_flags[j] = flags;
    game += step;
    out->games[j] = game;
    out->inputs[j] = load_le32(r + c.input + 4 * std::size_t{j});
    if (out->inputs[j] >= info.inputs.size()) return false;
    line += load_le32(r + c.line + 4 * std::size_t{j});
    out->lines[j] = line;
    for (std::size_t key = 0; key < n_keys; ++key) {
      const unsigned char* planes = r + c.keys + 4 * key * n + j;
      const std::uint32_t bits = planes[0] | planes[n] << 8 | planes[2 * std::size_t{n}] << 16 |
                                 std::uint32_t{planes[3 * std::size_t{n}]} << 24;
      out->keys[j * n_keys + key] = std::bit_cast<float>(bits);
    }
  }
  out->piece_start[n] = o;
  return o == listed && e == n_entries && game < info.n_games;
}

}  // namespace

Result pack_open(const char* path, PackReader** reader, Failure* failure) {
  if (path == nullptr || reader == nullptr) return fail(failure, ERR_NULL);
  *reader = nullptr;
  try {
    auto r = std::make_unique<PackReader>();
    r->path = path;
    if (const Result opened = open_pack(path, *r, failure); opened != OK) return opened;
    *reader = r.release();
    return OK;
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC, path);
  }
}

const PackInfo* pack_info(const PackReader* reader) { return reader != nullptr ? &reader->info : nullptr; }

std::uint32_t pack_block_of(const PackInfo& info, std::uint64_t position) {
  const auto after = std::upper_bound(info.blocks.begin(), info.blocks.end(), position,
                                      [](std::uint64_t p, const PackBlockInfo& b) { return p < b.first_position; });
  return static_cast<std::uint32_t>(after - info.blocks.begin()) - 1;
}

Result pack_read_block(PackReader* reader, std::uint32_t k, PackBlock* block, Failure* failure) {
  if (reader == nullptr || block == nullptr) return fail(failure, ERR_NULL);
  const PackReader& r = *reader;
  if (k >= r.info.blocks.size()) return block_failure(failure, ERR_ARGUMENT, r, k);
  const PackBlockInfo& b = r.info.blocks[k];
  try {
    thread_local Scratch scratch;
    if (scratch.dctx == nullptr) return block_failure(failure, ERR_ALLOC, r, k);
    scratch.stored.resize(b.stored_size);
    scratch.raw.resize(b.raw_size);
    if (const Result read = read_at(r, b.offset, scratch.stored.data(), b.stored_size, failure); read != OK) {
      if (failure != nullptr) failure->block = k;
      return read;
    }
    if (crc_of(scratch.stored.data(), b.stored_size) != r.checksums[k]) {
      return block_failure(failure, PACK_ERR_BLOCK_CHECKSUM, r, k);
    }
    // Into a buffer of the size the index declares: a block that holds more fails.
    const std::size_t made =
        ZSTD_decompressDCtx(scratch.dctx.get(), scratch.raw.data(), b.raw_size, scratch.stored.data(), b.stored_size);
    if (ZSTD_isError(made) || made != b.raw_size) return block_failure(failure, PACK_ERR_BLOCK_SIZE, r, k);
    if (!decode_block(scratch.raw.data(), b.raw_size, r.info, k, block)) {
      return block_failure(failure, PACK_ERR_BLOCK_CONTENT, r, k);
    }
    return OK;
  } catch (const std::bad_alloc&) {
    return block_failure(failure, ERR_ALLOC, r, k);
  }
}

Result pack_verify(PackReader* reader, Failure* failure) {
  if (reader == nullptr) return fail(failure, ERR_NULL);
  PackBlock block;
  std::uint64_t next_game = 0;  // games are numbered from 0 without a gap, block after block
  for (std::uint32_t k = 0; k < reader->info.blocks.size(); ++k) {
    if (const Result read = pack_read_block(reader, k, &block, failure); read != OK) return read;
    if (block.games.front() != next_game && block.games.front() + 1 != next_game) {
      return block_failure(failure, PACK_ERR_BLOCK_CONTENT, *reader, k);
    }
    next_game = block.games.back() + 1;
  }
  if (next_game != reader->info.n_games) {
    return block_failure(failure, PACK_ERR_BLOCK_CONTENT, *reader,
                         static_cast<std::uint32_t>(reader->info.blocks.size()) - 1);
  }
  return OK;
}

void pack_close(PackReader* reader) { delete reader; }

}  // namespace q4d
