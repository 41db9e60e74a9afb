#include "container_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "base/processors.h"
#include "codecs/codecs.h"

namespace q4d {

const char* container_codec_name(int codec) {
  switch (codec) {
    case CODEC_PLAIN: return "plain";
    case CODEC_GZIP: return "gzip";
    case CODEC_ZSTD: return "zstd";
    default: return "unknown";
  }
}

// ---- Writing ----------------------------------------------------------------

struct ContainerWriter {
  std::FILE* stream = nullptr;  // the plain output, the temporary file, or the caller's stream
  bool owned = true;            // false: the caller's stream, never closed here
  bool at_end = true;           // false after a backfill left the stream at offset 256
  std::unique_ptr<char[]> path;  // where a compressed container goes
  ContainerWriteOptions options;
  FileHeader header;
  std::uint32_t frames = 0;
};

const char* container_write_error_name(int result) {
  switch (result) {
    case CONTAINER_WRITE_OK: return "ok";
    case CONTAINER_WRITE_ERR_NULL: return "absent argument";
    case CONTAINER_WRITE_ERR_OPTIONS: return "invalid options";
    case CONTAINER_WRITE_ERR_CREATE: return "cannot create the output";
    case CONTAINER_WRITE_ERR_TMPFILE: return "cannot create a temporary file";
    case CONTAINER_WRITE_ERR_HEADER: return "header write failed";
    case CONTAINER_WRITE_ERR_FRAME: return "frame write failed";
    case CONTAINER_WRITE_ERR_BACKFILL: return "header backfill failed";
    case CONTAINER_WRITE_ERR_COMPRESS: return "compressing into the output failed";
    case CONTAINER_WRITE_ERR_CLOSE: return "writing the end of the output failed";
    case CONTAINER_WRITE_ERR_ALLOC: return "out of memory";
    default: return "unknown result";
  }
}

namespace {

bool options_valid(const ContainerWriteOptions& o) {
  const bool codec_known = o.codec == CODEC_PLAIN || o.codec == CODEC_GZIP || o.codec == CODEC_ZSTD;
  const bool level_ok = o.codec != CODEC_ZSTD || (o.zstd_level >= ZSTD_LEVEL_MIN && o.zstd_level <= ZSTD_LEVEL_MAX);
  return codec_known && level_ok && o.threads >= 0;
}

// The writer's header goes out first, with the count the caller knows so far.
int start_writer(std::unique_ptr<ContainerWriter> w, bool seekable, ContainerWriter** writer) {
  header_init(&w->header);
  w->header.n_frames = w->options.n_frames;
  const int written = seekable ? header_write(w->stream, &w->header) : header_write_here(w->stream, &w->header);
  if (written != HEADER_OK) {
    if (w->owned) std::fclose(w->stream);
    return CONTAINER_WRITE_ERR_HEADER;
  }
  *writer = w.release();
  return CONTAINER_WRITE_OK;
}

Result compress_into(const char* path, std::FILE* plain, const ContainerWriteOptions& o) {
  const int threads = o.threads == 0 ? available_processors() : o.threads;
  if (o.codec == CODEC_ZSTD) return zstd_write_file(path, plain, o.zstd_level, threads >= 2 ? threads : 0, nullptr);
  return threads >= 2 ? gzip_write_file_blocks(path, plain, threads, nullptr) : gzip_write_file(path, plain, nullptr);
}

}  // namespace

int container_writer_open(const char* path, const ContainerWriteOptions& options, ContainerWriter** writer) {
  if (path == nullptr || writer == nullptr) return CONTAINER_WRITE_ERR_NULL;
  *writer = nullptr;
  if (!options_valid(options)) return CONTAINER_WRITE_ERR_OPTIONS;
  std::unique_ptr<ContainerWriter> w(new (std::nothrow) ContainerWriter);
  if (w == nullptr) return CONTAINER_WRITE_ERR_ALLOC;
  w->options = options;
  if (options.codec == CODEC_PLAIN) {
    w->stream = std::fopen(path, "wb");
    if (w->stream == nullptr) return CONTAINER_WRITE_ERR_CREATE;
  } else {
    const std::size_t length = std::strlen(path) + 1;
    w->path.reset(new (std::nothrow) char[length]);
    if (w->path == nullptr) return CONTAINER_WRITE_ERR_ALLOC;
    std::memcpy(w->path.get(), path, length);
    w->stream = std::tmpfile();
    if (w->stream == nullptr) return CONTAINER_WRITE_ERR_TMPFILE;
  }
  return start_writer(std::move(w), true, writer);
}

int container_writer_open_stream(std::FILE* stream, const ContainerWriteOptions& options, ContainerWriter** writer) {
  if (stream == nullptr || writer == nullptr) return CONTAINER_WRITE_ERR_NULL;
  *writer = nullptr;
  if (!options_valid(options) || options.codec != CODEC_PLAIN) return CONTAINER_WRITE_ERR_OPTIONS;
  std::unique_ptr<ContainerWriter> w(new (std::nothrow) ContainerWriter);
  if (w == nullptr) return CONTAINER_WRITE_ERR_ALLOC;
  w->options = options;
  w->stream = stream;
  w->owned = false;
  return start_writer(std::move(w), false, writer);
}

int container_writer_write(ContainerWriter* writer, const float* vector, const PlyTrailer& trailer) {
  if (writer == nullptr || vector == nullptr) return CONTAINER_WRITE_ERR_NULL;
  if (!writer->at_end) {
    if (std::fseek(writer->stream, 0, SEEK_END) != 0) return CONTAINER_WRITE_ERR_FRAME;
    writer->at_end = true;
  }
  if (frame_write_values(writer->stream, vector, &trailer) != FRAME_OK) return CONTAINER_WRITE_ERR_FRAME;
  ++writer->frames;
  return CONTAINER_WRITE_OK;
}

std::uint32_t container_writer_frames(const ContainerWriter* writer) {
  return writer != nullptr ? writer->frames : 0;
}

int container_writer_backfill(ContainerWriter* writer) {
  if (writer == nullptr) return CONTAINER_WRITE_ERR_NULL;
  if (!writer->owned) {
    return writer->header.n_frames == writer->frames ? CONTAINER_WRITE_OK : CONTAINER_WRITE_ERR_BACKFILL;
  }
  writer->header.n_frames = writer->frames;
  writer->at_end = false;
  return header_write(writer->stream, &writer->header) == HEADER_OK ? CONTAINER_WRITE_OK
                                                                     : CONTAINER_WRITE_ERR_BACKFILL;
}

int container_writer_close(ContainerWriter* writer) {
  if (writer == nullptr) return CONTAINER_WRITE_ERR_NULL;
  std::unique_ptr<ContainerWriter> w(writer);
  std::FILE* stream = w->stream;
  if (!w->owned) {
    // The final flush is where a full disk shows up.
    return std::fflush(stream) == 0 && !std::ferror(stream) ? CONTAINER_WRITE_OK : CONTAINER_WRITE_ERR_CLOSE;
  }
  if (w->options.codec == CODEC_PLAIN) {
    const bool write_error = std::ferror(stream) != 0;
    return std::fclose(stream) == 0 && !write_error ? CONTAINER_WRITE_OK : CONTAINER_WRITE_ERR_CLOSE;
  }
  // Closing the temporary file removes it; what it says about itself says
  // nothing about the output.
  const Result compressed = compress_into(w->path.get(), stream, w->options);
  std::fclose(stream);
  return compressed == OK ? CONTAINER_WRITE_OK : CONTAINER_WRITE_ERR_COMPRESS;
}

void container_writer_discard(ContainerWriter* writer) {
  if (writer == nullptr) return;
  if (writer->owned) std::fclose(writer->stream);
  delete writer;
}

// ---- Reading ----------------------------------------------------------------

struct ContainerReader {
  std::FILE* stream = nullptr;  // the plain file, or the temporary file of a decompressed one
  ContainerInfo info{};
  std::uint32_t frames_read = 0;
};

const char* container_read_error_name(int result) {
  switch (result) {
    case CONTAINER_READ_OK: return "ok";
    case CONTAINER_READ_ERR_NULL: return "absent argument";
    case CONTAINER_READ_ERR_OPEN: return "cannot open or read the file";
    case CONTAINER_READ_ERR_TMPFILE: return "cannot create or write a temporary file";
    case CONTAINER_READ_ERR_GZIP_HEADER: return "malformed gzip header";
    case CONTAINER_READ_ERR_DECOMPRESS: return "corrupt or cut compressed data";
    case CONTAINER_READ_ERR_GZIP_CHECK: return "gzip CRC-32 or length does not match";
    case CONTAINER_READ_ERR_ZSTD_CHECK: return "zstd checksum does not match";
    case CONTAINER_READ_ERR_SHORT_HEADER: return "too short for a 256-byte header";
    case CONTAINER_READ_ERR_MAGIC: return "wrong magic";
    case CONTAINER_READ_ERR_VERSION: return "version is neither 3 nor 4";
    case CONTAINER_READ_ERR_FRAME_SIZE: return "frame_size does not match encoding_dim";
    case CONTAINER_READ_ERR_DIMENSION: return "frames are not 180238 bytes";
    case CONTAINER_READ_ERR_CUT_SHORT: return "fewer frames than the header counts";
    case CONTAINER_READ_ERR_TRAILING: return "bytes after the last frame";
    case CONTAINER_READ_ERR_FRAME: return "frame incomplete";
    case CONTAINER_READ_ERR_END: return "no more frames";
    case CONTAINER_READ_ERR_ALLOC: return "out of memory";
    default: return "unknown result";
  }
}

namespace {

constexpr std::size_t CHUNK = 65536;

int header_result(int header_code, const FileHeader& header) {
  switch (header_code) {
    case HEADER_OK: return header.frame_size == FRAME_SIZE ? CONTAINER_READ_OK : CONTAINER_READ_ERR_DIMENSION;
    case HEADER_ERR_SEEK: return CONTAINER_READ_ERR_OPEN;
    case HEADER_ERR_IO: return CONTAINER_READ_ERR_SHORT_HEADER;
    case HEADER_ERR_MAGIC: return CONTAINER_READ_ERR_MAGIC;
    case HEADER_ERR_VERSION: return CONTAINER_READ_ERR_VERSION;
    case HEADER_ERR_FRAME_SIZE: return CONTAINER_READ_ERR_FRAME_SIZE;
    default: return CONTAINER_READ_ERR_NULL;
  }
}

int decode_result(Result code, ContainerCodec codec) {
  switch (code) {
    case ERR_ALLOC: return CONTAINER_READ_ERR_ALLOC;
    case ERR_READ: return CONTAINER_READ_ERR_OPEN;
    case CODEC_ERR_HEADER: return CONTAINER_READ_ERR_GZIP_HEADER;
    case CODEC_ERR_CHECK: return codec == CODEC_GZIP ? CONTAINER_READ_ERR_GZIP_CHECK : CONTAINER_READ_ERR_ZSTD_CHECK;
    case ERR_NULL: return CONTAINER_READ_ERR_NULL;
    default: return CONTAINER_READ_ERR_DECOMPRESS;
  }
}

std::uint64_t container_bytes(const FileHeader& header) {
  return HEADER_SIZE + std::uint64_t{header.n_frames} * FRAME_SIZE;
}

// One decoder of either codec (the codecs share no interface of their own).
struct Decoder {
  ContainerCodec codec;
  GzipDecoder* gzip = nullptr;
  ZstdDecoder* zstd = nullptr;
  ~Decoder() {
    gzip_decoder_close(gzip);
    zstd_decoder_close(zstd);
  }
  Result open(std::FILE* in, bool verify) {
    return codec == CODEC_GZIP ? gzip_decoder_open(in, verify, &gzip, nullptr) : zstd_decoder_open(in, &zstd, nullptr);
  }
  // The number of bytes read, or the container's code for a failure.
  long read(unsigned char* out, std::size_t capacity) {
    std::size_t n = 0;
    const Result read = codec == CODEC_GZIP ? gzip_decoder_read(gzip, out, capacity, &n, nullptr)
                                            : zstd_decoder_read(zstd, out, capacity, &n, nullptr);
    return read == OK ? static_cast<long>(n) : decode_result(read, codec);
  }
};

// Decompresses the container in `in` into `tmp`: its header first, then
// exactly as many bytes as the header's frames take, then one byte more to
// learn whether the stream ends there (where its checks are made).
int decompress_container(std::FILE* in, ContainerCodec codec, bool verify, std::FILE* tmp, FileHeader* header) {
  Decoder decoder{codec};
  if (const Result opened = decoder.open(in, verify); opened != OK) return decode_result(opened, codec);
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[CHUNK]);
  if (buf == nullptr) return CONTAINER_READ_ERR_ALLOC;

  std::size_t have = 0;
  while (have < HEADER_SIZE) {
    const long n = decoder.read(buf.get() + have, HEADER_SIZE - have);
    if (n < 0) return static_cast<int>(n);
    if (n == 0) return CONTAINER_READ_ERR_SHORT_HEADER;
    have += static_cast<std::size_t>(n);
  }
  if (const int parsed = header_result(header_parse(buf.get(), header), *header); parsed != CONTAINER_READ_OK) {
    return parsed;
  }
  if (std::fwrite(buf.get(), 1, HEADER_SIZE, tmp) != HEADER_SIZE) return CONTAINER_READ_ERR_TMPFILE;

  std::uint64_t remaining = container_bytes(*header) - HEADER_SIZE;
  while (remaining > 0) {
    const long n = decoder.read(buf.get(), static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, remaining)));
    if (n < 0) return static_cast<int>(n);
    if (n == 0) return verify ? CONTAINER_READ_ERR_CUT_SHORT : CONTAINER_READ_OK;
    if (std::fwrite(buf.get(), 1, static_cast<std::size_t>(n), tmp) != static_cast<std::size_t>(n)) {
      return CONTAINER_READ_ERR_TMPFILE;
    }
    remaining -= static_cast<std::uint64_t>(n);
  }
  const long more = decoder.read(buf.get(), 1);
  if (more < 0) return static_cast<int>(more);
  // More content than the frames: not read further, so not checked either.
  return more > 0 && (verify || codec == CODEC_ZSTD) ? CONTAINER_READ_ERR_TRAILING : CONTAINER_READ_OK;
}

int open_plain(std::FILE* f, bool verify, ContainerReader& r) {
  if (const int parsed = header_result(header_read(f, &r.info.header), r.info.header); parsed != CONTAINER_READ_OK) {
    return parsed;
  }
  if (verify) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return CONTAINER_READ_ERR_OPEN;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t expected = container_bytes(r.info.header);
    if (size != expected) return size < expected ? CONTAINER_READ_ERR_CUT_SHORT : CONTAINER_READ_ERR_TRAILING;
  }
  r.info.frame_offset = HEADER_SIZE;
  return CONTAINER_READ_OK;
}

int open_compressed(std::FILE* f, bool verify, ContainerReader& r) {
  std::FILE* tmp = std::tmpfile();
  if (tmp == nullptr) return CONTAINER_READ_ERR_TMPFILE;
  int result = decompress_container(f, r.info.codec, verify, tmp, &r.info.header);
  // Frames are read from the temporary file from here on.
  if (result == CONTAINER_READ_OK && (std::fflush(tmp) != 0 || std::fseek(tmp, HEADER_SIZE, SEEK_SET) != 0)) {
    result = CONTAINER_READ_ERR_TMPFILE;
  }
  if (result != CONTAINER_READ_OK) {
    std::fclose(tmp);
    return result;
  }
  r.stream = tmp;
  r.info.frame_offset = -1;
  return CONTAINER_READ_OK;
}

ContainerCodec sniff_codec(const int* first, int n) {
  if (n >= 2 && first[0] == 0x1F && first[1] == 0x8B) return CODEC_GZIP;
  if (n >= 4 && first[0] == 0x28 && first[1] == 0xB5 && first[2] == 0x2F && first[3] == 0xFD) return CODEC_ZSTD;
  return CODEC_PLAIN;
}

}  // namespace

int container_reader_open(const char* path, const ContainerReadOptions& options, ContainerReader** reader) {
  if (path == nullptr || reader == nullptr) return CONTAINER_READ_ERR_NULL;
  *reader = nullptr;
  std::unique_ptr<ContainerReader> r(new (std::nothrow) ContainerReader);
  if (r == nullptr) return CONTAINER_READ_ERR_ALLOC;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return CONTAINER_READ_ERR_OPEN;
  // fgetc gives ints: the EOF of a short file is never taken for a magic byte.
  int first[4];
  int n = 0;
  while (n < 4 && (first[n] = std::fgetc(f)) != EOF) ++n;
  if (std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    return CONTAINER_READ_ERR_OPEN;
  }
  r->info.codec = sniff_codec(first, n);
  int result;
  if (r->info.codec == CODEC_PLAIN) {
    result = open_plain(f, options.verify, *r);
    if (result == CONTAINER_READ_OK) r->stream = f;
  } else {
    result = open_compressed(f, options.verify, *r);
  }
  if (r->stream != f) std::fclose(f);
  if (result != CONTAINER_READ_OK) return result;
  *reader = r.release();
  return CONTAINER_READ_OK;
}

const ContainerInfo* container_reader_info(const ContainerReader* reader) {
  return reader != nullptr ? &reader->info : nullptr;
}

int container_reader_read(ContainerReader* reader, float* vector, PlyTrailer* trailer) {
  if (reader == nullptr || vector == nullptr || trailer == nullptr) return CONTAINER_READ_ERR_NULL;
  if (reader->frames_read >= reader->info.header.n_frames) return CONTAINER_READ_ERR_END;
  if (frame_read_values(reader->stream, vector, trailer) != FRAME_OK) return CONTAINER_READ_ERR_FRAME;
  ++reader->frames_read;
  return CONTAINER_READ_OK;
}

void container_reader_close(ContainerReader* reader) {
  if (reader == nullptr) return;
  std::fclose(reader->stream);
  delete reader;
}

}  // namespace q4d
