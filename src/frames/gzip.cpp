#include "frames/gzip.h"

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <new>

#include "frames/byte_order.h"

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
    if (n == 0 && std::ferror(source)) return GZIP_WRITE_ERR_READ;
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
      if (std::fwrite(buf.out.get(), 1, produced, out) != produced) return GZIP_WRITE_ERR_WRITE;
      if (status == Z_STREAM_END) return GZIP_WRITE_OK;
      // A call made only because the last one filled the buffer may find
      // nothing left to emit: that asks for more input, it is no failure.
      if (status == Z_BUF_ERROR && flush == Z_NO_FLUSH && zs.avail_in == 0) break;
      if (status != Z_OK) return GZIP_WRITE_ERR_DEFLATE;
    } while (zs.avail_in > 0 || zs.avail_out == 0);
  }
}

int inflate_input(std::FILE* in, std::FILE* out, z_stream& zs, Buffers& buf) {
  for (;;) {
    if (zs.avail_in == 0 && !std::feof(in)) {
      const std::size_t n = std::fread(buf.in.get(), 1, BUF_SIZE, in);
      if (n == 0 && std::ferror(in)) return INFLATE_ERR_READ;
      zs.next_in = buf.in.get();
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = buf.out.get();
    zs.avail_out = BUF_SIZE;
    const int status = inflate(&zs, Z_NO_FLUSH);
    const std::size_t produced = BUF_SIZE - zs.avail_out;
    if (std::fwrite(buf.out.get(), 1, produced, out) != produced) return INFLATE_ERR_WRITE;
    if (status == Z_STREAM_END) return INFLATE_OK;
    if (status != Z_OK) return INFLATE_ERR_DATA;
    if (zs.avail_in == 0 && std::feof(in) && produced == 0) return INFLATE_ERR_TRUNCATED;
  }
}

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
  if (path == nullptr || source == nullptr) return GZIP_WRITE_ERR_NULL;
  if (std::fseek(source, 0, SEEK_SET) != 0) return GZIP_WRITE_ERR_SEEK;
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return GZIP_WRITE_ERR_OPEN;

  int result = GZIP_WRITE_OK;
  z_stream zs{};
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  std::uint64_t length = 0;
  if (std::fwrite(GZIP_HEADER, 1, sizeof GZIP_HEADER, out) != sizeof GZIP_HEADER) {
    result = GZIP_WRITE_ERR_HEADER;
  } else if (deflateInit2(&zs, LEVEL, Z_DEFLATED, WINDOW_BITS, MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK) {
    result = GZIP_WRITE_ERR_INIT;
  } else {
    Buffers buf;
    result = buf.ok() ? deflate_source(source, out, zs, buf, crc, length) : GZIP_WRITE_ERR_ALLOC;
    deflateEnd(&zs);
  }
  if (result == GZIP_WRITE_OK) {
    unsigned char trailer[8];
    store_le32(trailer, crc);
    store_le32(trailer + 4, static_cast<std::uint32_t>(length));  // ISIZE: length mod 2^32
    if (std::fwrite(trailer, 1, sizeof trailer, out) != sizeof trailer) result = GZIP_WRITE_ERR_TRAILER;
  }
  // A full disk often shows only here, when the buffered tail is flushed.
  if (std::fclose(out) != 0 && result == GZIP_WRITE_OK) result = GZIP_WRITE_ERR_CLOSE;
  return result;
}

int inflate_to_file(std::FILE* in, std::FILE* out) {
  if (in == nullptr || out == nullptr) return INFLATE_ERR_INIT;
  z_stream zs{};
  if (inflateInit2(&zs, WINDOW_BITS) != Z_OK) return INFLATE_ERR_INIT;
  Buffers buf;
  const int result = buf.ok() ? inflate_input(in, out, zs, buf) : INFLATE_ERR_ALLOC;
  inflateEnd(&zs);
  return result;
}

int gzip_open_read(const char* path, std::FILE** out) {
  if (path == nullptr || out == nullptr) return GZIP_READ_ERR_NULL;
  *out = nullptr;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return GZIP_READ_ERR_OPEN;
  // fgetc gives ints: the EOF of a short file is never taken for a magic byte.
  const int id1 = std::fgetc(f);
  const int id2 = std::fgetc(f);
  int result = GZIP_READ_OK;
  std::FILE* tmp = nullptr;
  if (std::fseek(f, 0, SEEK_SET) != 0) {
    result = GZIP_READ_ERR_SEEK;
  } else if (id1 != 0x1F || id2 != 0x8B) {
    *out = f;  // not gzip: the caller validates it as a plain container
    return GZIP_READ_OK;
  } else if (!skip_gzip_header(f)) {
    result = GZIP_READ_ERR_HEADER;
  } else if ((tmp = std::tmpfile()) == nullptr) {
    result = GZIP_READ_ERR_TMPFILE;
  } else if (inflate_to_file(f, tmp) != INFLATE_OK) {
    result = GZIP_READ_ERR_INFLATE;
  } else if (std::fseek(tmp, 0, SEEK_SET) != 0) {
    result = GZIP_READ_ERR_TMP_SEEK;
  }
  std::fclose(f);
  if (result != GZIP_READ_OK) {
    if (tmp != nullptr) std::fclose(tmp);
    return result;
  }
  *out = tmp;
  return GZIP_READ_OK;
}

}  // namespace q4d
