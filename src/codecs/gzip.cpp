// The gzip form (RFC 1952): a fixed 10-byte header, one raw deflate stream,
// CRC-32 and ISIZE. Written by one thread as one stream, or by several in
// blocks joined into the same kind of member; read by a pull decoder.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "base/byte_order.h"
#include "base/task_pool.h"
#include "codecs/codecs.h"

namespace q4d {
namespace {

constexpr unsigned BUF_SIZE = 65536;
constexpr int LEVEL = 6, WINDOW_BITS = -15, MEM_LEVEL = 9;  // raw deflate, 32 KiB window
constexpr int FLG_FHCRC = 2, FLG_FEXTRA = 4, FLG_FNAME = 8, FLG_FCOMMENT = 16;

// ID1 ID2, CM deflate, no flags, MTIME 0, XFL 0, OS unknown.
constexpr unsigned char GZIP_HEADER[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};

// The two stream buffers, freed on every path.
struct Buffers {
  std::unique_ptr<unsigned char[]> in{new (std::nothrow) unsigned char[BUF_SIZE]};
  std::unique_ptr<unsigned char[]> out{new (std::nothrow) unsigned char[BUF_SIZE]};
  bool ok() const { return in != nullptr && out != nullptr; }
};

Result deflate_source(const char* path, std::FILE* source, std::FILE* out, z_stream& zs, Buffers& buf,
                      std::uint32_t& crc, std::uint64_t& length, Failure* failure) {
  for (;;) {
    const std::size_t n = std::fread(buf.in.get(), 1, BUF_SIZE, source);
    if (n == 0 && std::ferror(source)) return fail(failure, ERR_READ, nullptr, errno);
    crc = static_cast<std::uint32_t>(crc32(crc, buf.in.get(), static_cast<uInt>(n)));
    length += n;
    const int flush = n > 0 ? Z_NO_FLUSH : Z_FINISH;  // an empty read ends the stream
    zs.next_in = buf.in.get();
    zs.avail_in = static_cast<uInt>(n);
    do {
      zs.next_out = buf.out.get();
      zs.avail_out = BUF_SIZE;
      const int status = deflate(&zs, flush);
      const std::size_t produced = BUF_SIZE - zs.avail_out;
      if (std::fwrite(buf.out.get(), 1, produced, out) != produced) return fail(failure, ERR_WRITE, path, errno);
      if (status == Z_STREAM_END) return OK;
      // A call made only because the last one filled the buffer may find
      // nothing left to emit: that asks for more input, it is no failure.
      if (status == Z_BUF_ERROR && flush == Z_NO_FLUSH && zs.avail_in == 0) break;
      if (status != Z_OK) return fail(failure, ERR_ALLOC);  // deflate fails only for want of memory
    } while (zs.avail_in > 0 || zs.avail_out == 0);
  }
}

Result write_trailer(const char* path, std::FILE* out, std::uint32_t crc, std::uint64_t length, Failure* failure) {
  unsigned char trailer[8];
  store_le32(trailer, crc);
  store_le32(trailer + 4, static_cast<std::uint32_t>(length));  // ISIZE: length mod 2^32
  return std::fwrite(trailer, 1, sizeof trailer, out) == sizeof trailer ? OK : fail(failure, ERR_WRITE, path, errno);
}

// ---- Blocks deflated in parallel -------------------------------------------

constexpr std::size_t BLOCK_SIZE = 128 * 1024;
constexpr std::size_t DICT_SIZE = 32 * 1024;  // deflate's window: all a block can refer back to

struct Block {
  std::unique_ptr<unsigned char[]> in;   // DICT_SIZE bytes of room for the dictionary, then the block
  std::unique_ptr<unsigned char[]> out;  // its deflate data
  std::size_t dict = 0, size = 0, out_size = 0;
  bool last = false;
  bool done = false;  // under the pool's lock
  std::uint32_t crc = 0;
  Result status = OK;
};

// Blocks go round a ring of slots: the reading thread fills them in order,
// hands each to the pool, and writes each one out once it is done, before it
// fills that slot again.
struct BlockRing {
  std::vector<Block> slots;
  std::size_t out_capacity = 0;
};

// A pool thread's deflate stream, made once and kept with the thread.
struct Deflater {
  z_stream zs{};
  bool ready = deflateInit2(&zs, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) == Z_OK;
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater() {
    if (ready) deflateEnd(&zs);
  }
};

// Deflate fails only for want of memory: ERR_ALLOC.
Result deflate_block(z_stream& zs, Block& b, std::size_t out_capacity) {
  if (deflateReset(&zs) != Z_OK) return ERR_ALLOC;
  unsigned char* data = b.in.get() + DICT_SIZE;
  if (b.dict > 0 && deflateSetDictionary(&zs, data - b.dict, static_cast<uInt>(b.dict)) != Z_OK) {
    return ERR_ALLOC;
  }
  zs.next_in = data;
  zs.avail_in = static_cast<uInt>(b.size);
  zs.next_out = b.out.get();
  zs.avail_out = static_cast<uInt>(out_capacity);
  // A sync flush ends on a byte boundary without ending the stream, so the
  // next block's data follows directly; the last block finishes it.
  const int status = deflate(&zs, b.last ? Z_FINISH : Z_SYNC_FLUSH);
  b.out_size = out_capacity - zs.avail_out;
  b.crc = static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(b.size)));
  // The buffer has room for the worst case, so one call always completes.
  const bool complete = b.last ? status == Z_STREAM_END : status == Z_OK && zs.avail_in == 0 && zs.avail_out > 0;
  return complete ? OK : ERR_ALLOC;
}

// Reads block k of the source into its slot, after the last 32 KiB of
// block k-1 (still in the previous slot: a slot is refilled only once the
// ring has gone round).
Result fill_block(std::FILE* source, BlockRing& ring, std::uint64_t k, std::uint64_t n_blocks, std::uint64_t size,
                  Failure* failure) {
  Block& b = ring.slots[k % ring.slots.size()];
  b.size = static_cast<std::size_t>(std::min<std::uint64_t>(BLOCK_SIZE, size - k * BLOCK_SIZE));
  b.last = k + 1 == n_blocks;
  b.dict = 0;
  b.done = false;
  if (k > 0) {
    const Block& previous = ring.slots[(k - 1) % ring.slots.size()];
    b.dict = std::min(DICT_SIZE, previous.size);
    std::memcpy(b.in.get() + DICT_SIZE - b.dict, previous.in.get() + DICT_SIZE + previous.size - b.dict, b.dict);
  }
  if (std::fread(b.in.get() + DICT_SIZE, 1, b.size, source) != b.size || std::ferror(source)) {
    return fail(failure, ERR_READ, nullptr, errno);
  }
  return OK;
}

Result deflate_blocks(const char* path, std::FILE* source, std::FILE* out, int threads, std::uint64_t size,
                      std::uint32_t& crc, Failure* failure) {
  BlockRing ring;
  // Declared after the ring: its threads finish their tasks before the slots go.
  TaskPool pool;
  if (pool.start(threads) != OK) return fail(failure, ERR_THREADS);
  ring.out_capacity = compressBound(BLOCK_SIZE) + 64;  // + the sync flush's empty stored block
  try {
    // One being deflated, one waiting, per thread.
    ring.slots.resize(static_cast<std::size_t>(std::max(1, pool.threads())) * 2);
    for (Block& b : ring.slots) {
      b.in.reset(new unsigned char[DICT_SIZE + BLOCK_SIZE]);
      b.out.reset(new unsigned char[ring.out_capacity]);
    }
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC);
  }

  const std::uint64_t n_blocks = size == 0 ? 1 : (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
  const std::size_t capacity = ring.out_capacity;
  std::uint64_t next_fill = 0;
  Result result = OK;
  for (std::uint64_t next_write = 0; result == OK && next_write < n_blocks; ++next_write) {
    while (result == OK && next_fill < n_blocks && next_fill - next_write < ring.slots.size()) {
      result = fill_block(source, ring, next_fill, n_blocks, size, failure);
      if (result != OK) break;
      Block* b = &ring.slots[next_fill++ % ring.slots.size()];
      try {
        pool.submit([&pool, b, capacity] {
          thread_local Deflater deflater;
          const Result status = deflater.ready ? deflate_block(deflater.zs, *b, capacity) : ERR_ALLOC;
          pool.finish([b, status] {
            b->status = status;
            b->done = true;
          });
        });
      } catch (const std::bad_alloc&) {
        result = fail(failure, ERR_ALLOC);
        --next_fill;  // never handed over: not waited for
      }
    }
    if (result != OK) break;
    Block& b = ring.slots[next_write % ring.slots.size()];
    pool.wait([&b] { return b.done; });
    result = b.status != OK ? fail(failure, b.status) : OK;
    if (result == OK && std::fwrite(b.out.get(), 1, b.out_size, out) != b.out_size) {
      result = fail(failure, ERR_WRITE, path, errno);
    }
    crc = static_cast<std::uint32_t>(crc32_combine(crc, b.crc, static_cast<z_off_t>(b.size)));
  }
  return result;
}

}  // namespace

Result gzip_write_file(const char* path, std::FILE* source, Failure* failure) {
  if (path == nullptr || source == nullptr) return fail(failure, ERR_NULL);
  if (std::fseek(source, 0, SEEK_SET) != 0) return fail(failure, ERR_SEEK, nullptr, errno);
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return fail(failure, ERR_CREATE, path, errno);

  Result result = OK;
  z_stream zs{};
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  std::uint64_t length = 0;
  if (std::fwrite(GZIP_HEADER, 1, sizeof GZIP_HEADER, out) != sizeof GZIP_HEADER) {
    result = fail(failure, ERR_WRITE, path, errno);
  } else if (deflateInit2(&zs, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK) {
    result = fail(failure, ERR_ALLOC);
  } else {
    Buffers buf;
    result = buf.ok() ? deflate_source(path, source, out, zs, buf, crc, length, failure) : fail(failure, ERR_ALLOC);
    deflateEnd(&zs);
  }
  if (result == OK) result = write_trailer(path, out, crc, length, failure);
  return finish_compressed_file(path, out, result, failure);
}

Result gzip_write_file_blocks(const char* path, std::FILE* source, int threads, Failure* failure) {
  if (path == nullptr || source == nullptr) return fail(failure, ERR_NULL);
  if (threads < 1) return fail(failure, ERR_ARGUMENT);
  // The length tells which block is the last, the one that ends the stream.
  long size = 0;
  std::FILE* out = nullptr;
  if (const Result started = start_compressed_file(path, source, &size, &out, failure); started != OK) return started;

  Result result = OK;
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  if (std::fwrite(GZIP_HEADER, 1, sizeof GZIP_HEADER, out) != sizeof GZIP_HEADER) {
    result = fail(failure, ERR_WRITE, path, errno);
  } else {
    result = deflate_blocks(path, source, out, threads, static_cast<std::uint64_t>(size), crc, failure);
  }
  if (result == OK) result = write_trailer(path, out, crc, static_cast<std::uint64_t>(size), failure);
  return finish_compressed_file(path, out, result, failure);
}

// ---- Reading ----------------------------------------------------------------

// The parts of a member, in file order; the header's optional fields are
// read, and passed over, only when its flags name them.
enum GzipPart {
  PART_FIXED, PART_XLEN, PART_EXTRA, PART_NAME, PART_COMMENT, PART_HCRC,  // the header
  PART_DATA, PART_TRAILER, PART_END
};

struct GzipDecoder {
  ByteSource source{};
  std::FILE* file = nullptr;  // the source's file, for the FILE* form
  GzipMembers members = GZIP_FIRST_MEMBER;
  z_stream zs{};
  bool zs_ready = false;
  std::unique_ptr<unsigned char[]> buf;
  bool input_ended = false;  // the source has given its last byte
  GzipPart part = PART_FIXED;
  unsigned char bytes[10] = {};  // the fixed header, XLEN or the trailer, as far as read
  unsigned have = 0;             // ... how many
  unsigned long skip = 0;        // bytes of FEXTRA still to pass over
  std::uint32_t crc = 0;
  std::uint64_t length = 0;
  ~GzipDecoder() {
    if (zs_ready) inflateEnd(&zs);
  }
};

namespace {

// Has bytes ready in zs.next_in unless the input has ended.
Result fill(GzipDecoder& d, Failure* failure) {
  if (d.zs.avail_in > 0 || d.input_ended) return OK;
  std::size_t n = 0;
  const Result read = d.source.read(d.source.context, d.buf.get(), BUF_SIZE, &n, failure);
  if (read != OK) return read;
  d.zs.next_in = d.buf.get();
  d.zs.avail_in = static_cast<uInt>(n);
  d.input_ended = n == 0;
  return OK;
}

// The part after `part` that this member has.
GzipPart part_after(GzipPart part, int flags) {
  switch (part) {
    case PART_FIXED: if (flags & FLG_FEXTRA) return PART_XLEN; [[fallthrough]];
    case PART_XLEN:
    case PART_EXTRA: if (flags & FLG_FNAME) return PART_NAME; [[fallthrough]];
    case PART_NAME: if (flags & FLG_FCOMMENT) return PART_COMMENT; [[fallthrough]];
    case PART_COMMENT: if (flags & FLG_FHCRC) return PART_HCRC; [[fallthrough]];
    default: return PART_DATA;
  }
}

// Reads the header up to the first byte of deflate data, a byte at a time, so
// that it can stop wherever its source pauses. The header CRC is not verified.
Result read_header(GzipDecoder& d, Failure* failure) {
  while (d.part < PART_DATA) {
    if (const Result filled = fill(d, failure); filled != OK) return filled;
    if (d.zs.avail_in == 0) return fail(failure, CODEC_ERR_HEADER);
    const unsigned char c = *d.zs.next_in++;
    --d.zs.avail_in;
    const int flags = d.bytes[3];
    switch (d.part) {
      case PART_FIXED:
        d.bytes[d.have++] = c;
        if ((d.have == 1 && c != 0x1F) || (d.have == 2 && c != 0x8B) || (d.have == 3 && c != 8)) {
          return fail(failure, CODEC_ERR_HEADER);
        }
        if (d.have < 10) continue;
        break;
      case PART_XLEN:
        d.bytes[4 + d.have++ - 10] = c;  // after the fixed bytes' flags, which stay at [3]
        if (d.have < 12) continue;
        d.skip = load_le16(d.bytes + 4);
        if (d.skip > 0) {
          d.part = PART_EXTRA;
          continue;
        }
        break;
      case PART_EXTRA:
        if (--d.skip > 0) continue;
        break;
      case PART_NAME:
      case PART_COMMENT:
        if (c != 0) continue;
        break;
      case PART_HCRC:
        if (++d.have < 12) continue;
        break;
      default: break;
    }
    d.part = part_after(d.part, flags);
    d.have = 10;
  }
  d.crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  d.length = 0;
  return inflateReset(&d.zs) == Z_OK ? OK : fail(failure, ERR_ALLOC);
}

// The 8 bytes after the deflate stream; then, for every member, whether
// another follows.
Result read_trailer(GzipDecoder& d, Failure* failure) {
  while (d.have < 8) {
    if (const Result filled = fill(d, failure); filled != OK) return filled;
    if (d.zs.avail_in == 0) return fail(failure, CODEC_ERR_CHECK);
    d.bytes[d.have++] = *d.zs.next_in++;
    --d.zs.avail_in;
  }
  if (load_le32(d.bytes) != d.crc || load_le32(d.bytes + 4) != static_cast<std::uint32_t>(d.length)) {
    return fail(failure, CODEC_ERR_CHECK);
  }
  if (d.members == GZIP_ALL_MEMBERS) {
    if (const Result filled = fill(d, failure); filled != OK) return filled;
    if (d.zs.avail_in > 0) {
      d.part = PART_FIXED;
      d.have = 0;
      return OK;
    }
  }
  d.part = PART_END;
  return OK;
}

Result read_file(void* context, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure) {
  auto* file = static_cast<std::FILE*>(context);
  *n = std::fread(out, 1, capacity, file);
  return *n == 0 && std::ferror(file) ? fail(failure, ERR_READ, nullptr, errno) : OK;
}

}  // namespace

ByteSource file_byte_source(std::FILE* in) { return ByteSource{read_file, in}; }

Result gzip_decoder_open(const ByteSource& source, GzipMembers members, GzipDecoder** decoder) {
  if (source.read == nullptr || decoder == nullptr) return ERR_NULL;
  *decoder = nullptr;
  std::unique_ptr<GzipDecoder> d(new (std::nothrow) GzipDecoder);
  if (d == nullptr) return ERR_ALLOC;
  d->buf.reset(new (std::nothrow) unsigned char[BUF_SIZE]);
  if (d->buf == nullptr || inflateInit2(&d->zs, WINDOW_BITS) != Z_OK) return ERR_ALLOC;
  d->zs_ready = true;
  d->source = source;
  d->members = members;
  *decoder = d.release();
  return OK;
}

Result gzip_decoder_open(std::FILE* in, bool check_trailer, GzipDecoder** decoder, Failure* failure) {
  if (in == nullptr) return fail(failure, ERR_NULL);
  const Result opened =
      gzip_decoder_open(file_byte_source(in), check_trailer ? GZIP_FIRST_MEMBER_CHECKED : GZIP_FIRST_MEMBER, decoder);
  return opened == OK ? OK : fail(failure, opened);
}

Result gzip_decoder_read(GzipDecoder* d, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure) {
  if (n != nullptr) *n = 0;
  if (d == nullptr || out == nullptr || capacity == 0 || n == nullptr) return fail(failure, ERR_NULL);
  z_stream& zs = d->zs;
  const uInt room = static_cast<uInt>(std::min<std::size_t>(capacity, std::numeric_limits<uInt>::max()));
  for (;;) {
    if (d->part < PART_DATA) {
      if (const Result read = read_header(*d, failure); read != OK) return read;
      d->part = PART_DATA;
    }
    if (d->part == PART_TRAILER) {
      if (const Result read = read_trailer(*d, failure); read != OK) return read;
      continue;
    }
    if (d->part == PART_END) return OK;
    if (const Result filled = fill(*d, failure); filled != OK) return filled;
    zs.next_out = out;
    zs.avail_out = room;
    const int status = inflate(&zs, Z_NO_FLUSH);
    const uInt produced = room - zs.avail_out;
    const bool input_over = zs.avail_in == 0 && d->input_ended;
    if (status == Z_MEM_ERROR) return fail(failure, ERR_ALLOC);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return fail(failure, CODEC_ERR_DATA);
    if (d->members != GZIP_FIRST_MEMBER) {
      d->crc = static_cast<std::uint32_t>(crc32(d->crc, out, produced));
      d->length += produced;
    }
    if (status == Z_STREAM_END) {
      d->part = d->members == GZIP_FIRST_MEMBER ? PART_END : PART_TRAILER;
      d->have = 0;
    }
    if (produced > 0) {
      *n = produced;
      return OK;
    }
    if (status != Z_STREAM_END && input_over) return fail(failure, CODEC_ERR_CUT);
  }
}

void gzip_decoder_close(GzipDecoder* decoder) { delete decoder; }

}  // namespace q4d
