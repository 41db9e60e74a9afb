// The gzip form (RFC 1952): a fixed 10-byte header, one raw deflate stream,
// CRC-32 and ISIZE. Written by one thread as one stream, or by several in
// blocks joined into the same kind of member; read by a pull decoder.
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "base/byte_order.h"
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

int deflate_source(std::FILE* source, std::FILE* out, z_stream& zs, Buffers& buf, std::uint32_t& crc,
                   std::uint64_t& length) {
  for (;;) {
    const std::size_t n = std::fread(buf.in.get(), 1, BUF_SIZE, source);
    if (n == 0 && std::ferror(source)) return COMPRESS_ERR_READ;
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
      if (std::fwrite(buf.out.get(), 1, produced, out) != produced) return COMPRESS_ERR_WRITE;
      if (status == Z_STREAM_END) return COMPRESS_OK;
      // A call made only because the last one filled the buffer may find
      // nothing left to emit: that asks for more input, it is no failure.
      if (status == Z_BUF_ERROR && flush == Z_NO_FLUSH && zs.avail_in == 0) break;
      if (status != Z_OK) return COMPRESS_ERR_CODEC;
    } while (zs.avail_in > 0 || zs.avail_out == 0);
  }
}

int write_trailer(std::FILE* out, std::uint32_t crc, std::uint64_t length) {
  unsigned char trailer[8];
  store_le32(trailer, crc);
  store_le32(trailer + 4, static_cast<std::uint32_t>(length));  // ISIZE: length mod 2^32
  return std::fwrite(trailer, 1, sizeof trailer, out) == sizeof trailer ? COMPRESS_OK : COMPRESS_ERR_TRAILER;
}

// ---- Blocks deflated in parallel -------------------------------------------

constexpr std::size_t BLOCK_SIZE = 128 * 1024;
constexpr std::size_t DICT_SIZE = 32 * 1024;  // deflate's window: all a block can refer back to

struct Block {
  std::unique_ptr<unsigned char[]> in;   // DICT_SIZE bytes of room for the dictionary, then the block
  std::unique_ptr<unsigned char[]> out;  // its deflate data
  std::size_t dict = 0, size = 0, out_size = 0;
  bool last = false;
  bool done = false;  // guarded by BlockRing::mutex
  std::uint32_t crc = 0;
  int status = COMPRESS_OK;
};

// Blocks go round a ring: the reading thread fills them in order, workers
// take them in order, and the reading thread writes each one out once it is
// done, before it fills that slot again.
struct BlockRing {
  std::vector<Block> slots;
  std::size_t out_capacity = 0;
  std::mutex mutex;
  std::condition_variable filled_or_stop;
  std::condition_variable done;
  std::uint64_t filled = 0;  // blocks handed to the workers
  std::uint64_t taken = 0;   // blocks a worker has started
  bool stop = false;
};

int deflate_block(z_stream& zs, Block& b, std::size_t out_capacity) {
  if (deflateReset(&zs) != Z_OK) return COMPRESS_ERR_CODEC;
  unsigned char* data = b.in.get() + DICT_SIZE;
  if (b.dict > 0 && deflateSetDictionary(&zs, data - b.dict, static_cast<uInt>(b.dict)) != Z_OK) {
    return COMPRESS_ERR_CODEC;
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
  return complete ? COMPRESS_OK : COMPRESS_ERR_CODEC;
}

void block_worker(BlockRing* ring) {
  z_stream zs{};
  const bool ready = deflateInit2(&zs, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) == Z_OK;
  for (;;) {
    Block* b;
    {
      std::unique_lock lock(ring->mutex);
      ring->filled_or_stop.wait(lock, [&] { return ring->stop || ring->taken < ring->filled; });
      if (ring->stop) break;
      b = &ring->slots[ring->taken++ % ring->slots.size()];
    }
    const int status = ready ? deflate_block(zs, *b, ring->out_capacity) : COMPRESS_ERR_INIT;
    {
      std::lock_guard lock(ring->mutex);
      b->status = status;
      b->done = true;
    }
    ring->done.notify_all();
  }
  if (ready) deflateEnd(&zs);
}

// Reads block k of the source into its slot, after the last 32 KiB of
// block k-1 (still in the previous slot: a slot is refilled only once the
// ring has gone round).
int fill_block(std::FILE* source, BlockRing& ring, std::uint64_t k, std::uint64_t n_blocks, std::uint64_t size) {
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
    return COMPRESS_ERR_READ;
  }
  return COMPRESS_OK;
}

int deflate_blocks(std::FILE* source, std::FILE* out, int threads, std::uint64_t size, std::uint32_t& crc) {
  BlockRing ring;
  ring.out_capacity = compressBound(BLOCK_SIZE) + 64;  // + the sync flush's empty stored block
  try {
    ring.slots.resize(static_cast<std::size_t>(threads) * 2);  // one being deflated, one waiting, per thread
    for (Block& b : ring.slots) {
      b.in.reset(new unsigned char[DICT_SIZE + BLOCK_SIZE]);
      b.out.reset(new unsigned char[ring.out_capacity]);
    }
  } catch (const std::bad_alloc&) {
    return COMPRESS_ERR_ALLOC;
  }
  std::vector<std::thread> workers;
  int result = COMPRESS_OK;
  try {
    for (int i = 0; i < threads; ++i) workers.emplace_back(block_worker, &ring);
  } catch (...) {
    result = COMPRESS_ERR_THREADS;
  }

  const std::uint64_t n_blocks = size == 0 ? 1 : (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
  std::uint64_t next_fill = 0;
  for (std::uint64_t next_write = 0; result == COMPRESS_OK && next_write < n_blocks; ++next_write) {
    while (result == COMPRESS_OK && next_fill < n_blocks && next_fill - next_write < ring.slots.size()) {
      result = fill_block(source, ring, next_fill, n_blocks, size);
      if (result != COMPRESS_OK) break;
      {
        std::lock_guard lock(ring.mutex);
        ring.filled = ++next_fill;
      }
      ring.filled_or_stop.notify_one();
    }
    if (result != COMPRESS_OK) break;
    Block& b = ring.slots[next_write % ring.slots.size()];
    {
      std::unique_lock lock(ring.mutex);
      ring.done.wait(lock, [&] { return b.done; });
    }
    result = b.status;
    if (result == COMPRESS_OK && std::fwrite(b.out.get(), 1, b.out_size, out) != b.out_size) {
      result = COMPRESS_ERR_WRITE;
    }
    crc = static_cast<std::uint32_t>(crc32_combine(crc, b.crc, static_cast<z_off_t>(b.size)));
  }
  {
    std::lock_guard lock(ring.mutex);
    ring.stop = true;
  }
  ring.filled_or_stop.notify_all();
  for (std::thread& t : workers) t.join();
  return result;
}

// ---- Reading ----------------------------------------------------------------

// Skips n bytes, or a zero-terminated field when n < 0; false at end of file.
bool skip_field(std::FILE* f, long n) {
  for (long i = 0; n < 0 || i < n; ++i) {
    const int c = std::fgetc(f);
    if (c == EOF) return false;
    if (n < 0 && c == 0) return true;
  }
  return true;
}

// Reads the gzip header up to the first byte of deflate data, skipping the
// optional fields in file order.
bool skip_gzip_header(std::FILE* f) {
  unsigned char h[10], xlen[2];
  if (std::fread(h, 1, sizeof h, f) != sizeof h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8) return false;
  const int flg = h[3];
  if ((flg & FLG_FEXTRA) && (std::fread(xlen, 1, 2, f) != 2 || !skip_field(f, load_le16(xlen)))) return false;
  if ((flg & FLG_FNAME) && !skip_field(f, -1)) return false;
  if ((flg & FLG_FCOMMENT) && !skip_field(f, -1)) return false;
  return !(flg & FLG_FHCRC) || skip_field(f, 2);  // the header CRC is not verified
}

}  // namespace

int gzip_write_file(const char* path, std::FILE* source) {
  if (path == nullptr || source == nullptr) return COMPRESS_ERR_NULL;
  if (std::fseek(source, 0, SEEK_SET) != 0) return COMPRESS_ERR_SEEK;
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return COMPRESS_ERR_OPEN;

  int result = COMPRESS_OK;
  z_stream zs{};
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  std::uint64_t length = 0;
  if (std::fwrite(GZIP_HEADER, 1, sizeof GZIP_HEADER, out) != sizeof GZIP_HEADER) {
    result = COMPRESS_ERR_HEADER;
  } else if (deflateInit2(&zs, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK) {
    result = COMPRESS_ERR_INIT;
  } else {
    Buffers buf;
    result = buf.ok() ? deflate_source(source, out, zs, buf, crc, length) : COMPRESS_ERR_ALLOC;
    deflateEnd(&zs);
  }
  if (result == COMPRESS_OK) result = write_trailer(out, crc, length);
  return finish_compressed_file(out, result);
}

int gzip_write_file_blocks(const char* path, std::FILE* source, int threads) {
  if (path == nullptr || source == nullptr || threads < 1) return COMPRESS_ERR_NULL;
  // The length tells which block is the last, the one that ends the stream.
  long size = 0;
  std::FILE* out = nullptr;
  if (const int started = start_compressed_file(path, source, &size, &out); started != COMPRESS_OK) return started;

  int result = COMPRESS_OK;
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  if (std::fwrite(GZIP_HEADER, 1, sizeof GZIP_HEADER, out) != sizeof GZIP_HEADER) {
    result = COMPRESS_ERR_HEADER;
  } else {
    result = deflate_blocks(source, out, threads, static_cast<std::uint64_t>(size), crc);
  }
  if (result == COMPRESS_OK) result = write_trailer(out, crc, static_cast<std::uint64_t>(size));
  return finish_compressed_file(out, result);
}

struct GzipDecoder {
  std::FILE* in = nullptr;
  bool check_trailer = false;
  bool stream_ended = false;  // the deflate stream is complete
  bool finished = false;      // ... and its trailer checked: reads give 0
  z_stream zs{};
  std::unique_ptr<unsigned char[]> buf;
  std::uint32_t crc = 0;
  std::uint64_t length = 0;
};

namespace {

// The 8 bytes after the deflate stream: what inflate has not used of the
// last read, then the file.
int check_gzip_trailer(GzipDecoder& d) {
  unsigned char trailer[8];
  std::size_t have = std::min<std::size_t>(d.zs.avail_in, sizeof trailer);
  std::memcpy(trailer, d.zs.next_in, have);
  have += std::fread(trailer + have, 1, sizeof trailer - have, d.in);
  if (have != sizeof trailer) return DECODE_ERR_GZIP_CHECK;
  if (load_le32(trailer) != d.crc || load_le32(trailer + 4) != static_cast<std::uint32_t>(d.length)) {
    return DECODE_ERR_GZIP_CHECK;
  }
  return 0;
}

}  // namespace

int gzip_decoder_open(std::FILE* in, bool check_trailer, GzipDecoder** decoder) {
  if (in == nullptr || decoder == nullptr) return DECODE_ERR_NULL;
  *decoder = nullptr;
  if (!skip_gzip_header(in)) return DECODE_ERR_HEADER;
  std::unique_ptr<GzipDecoder> d(new (std::nothrow) GzipDecoder);
  if (d == nullptr) return DECODE_ERR_ALLOC;
  d->buf.reset(new (std::nothrow) unsigned char[BUF_SIZE]);
  if (d->buf == nullptr || inflateInit2(&d->zs, WINDOW_BITS) != Z_OK) return DECODE_ERR_ALLOC;
  d->in = in;
  d->check_trailer = check_trailer;
  d->crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  *decoder = d.release();
  return 0;
}

long gzip_decoder_read(GzipDecoder* d, unsigned char* out, std::size_t capacity) {
  if (d == nullptr || out == nullptr || capacity == 0) return DECODE_ERR_NULL;
  if (d->finished) return 0;
  if (d->stream_ended) {
    d->finished = true;
    return d->check_trailer ? check_gzip_trailer(*d) : 0;
  }
  z_stream& zs = d->zs;
  const uInt room = static_cast<uInt>(std::min<std::size_t>(capacity, std::numeric_limits<uInt>::max()));
  for (;;) {
    if (zs.avail_in == 0 && !std::feof(d->in)) {
      const std::size_t n = std::fread(d->buf.get(), 1, BUF_SIZE, d->in);
      if (n == 0 && std::ferror(d->in)) return DECODE_ERR_READ;
      zs.next_in = d->buf.get();
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = out;
    zs.avail_out = room;
    const int status = inflate(&zs, Z_NO_FLUSH);
    const uInt produced = room - zs.avail_out;
    if (status == Z_STREAM_END) d->stream_ended = true;
    if (status != Z_OK && status != Z_STREAM_END) {
      const bool input_over = zs.avail_in == 0 && std::feof(d->in);
      return status == Z_BUF_ERROR && input_over ? DECODE_ERR_CUT : DECODE_ERR_DATA;
    }
    if (d->check_trailer) {
      d->crc = static_cast<std::uint32_t>(crc32(d->crc, out, produced));
      d->length += produced;
    }
    if (produced > 0) return static_cast<long>(produced);
    if (d->stream_ended) return gzip_decoder_read(d, out, capacity);
    if (zs.avail_in == 0 && std::feof(d->in)) return DECODE_ERR_CUT;
  }
}

void gzip_decoder_close(GzipDecoder* decoder) {
  if (decoder == nullptr) return;
  inflateEnd(&decoder->zs);
  delete decoder;
}

}  // namespace q4d
