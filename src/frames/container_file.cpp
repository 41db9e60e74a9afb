#include "container_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/byte_order.h"
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
  std::unique_ptr<char[]> path;  // the output
  ContainerWriteOptions options;
  FileHeader header;
  std::uint32_t frames = 0;
};

namespace {

bool options_valid(const ContainerWriteOptions& o) {
  const bool codec_known = o.codec == CODEC_PLAIN || o.codec == CODEC_GZIP || o.codec == CODEC_ZSTD;
  const bool level_ok = o.codec != CODEC_ZSTD || (o.zstd_level >= ZSTD_LEVEL_MIN && o.zstd_level <= ZSTD_LEVEL_MAX);
  return codec_known && level_ok && o.threads >= 0;
}

// The writer's path, or null for a caller's stream: what a failure names.
const char* output_of(const ContainerWriter& w) { return w.path.get(); }

// A failure at frame `index`.
Result fail_frame(Failure* failure, Result result, const char* path, int error_number, std::int64_t index) {
  (void)fail(failure, result, path, error_number);
  if (failure != nullptr) failure->index = index;
  return result;
}

// The writer's header goes out first, with the count the caller knows so far.
Result start_writer(std::unique_ptr<ContainerWriter> w, bool seekable, ContainerWriter** writer, Failure* failure) {
  header_init(&w->header);
  w->header.n_frames = w->options.n_frames;
  const Result written = seekable ? header_write(w->stream, &w->header) : header_write_here(w->stream, &w->header);
  if (written != OK) {
    const int error_number = errno;
    if (w->owned) std::fclose(w->stream);
    // A compressed container's header goes to its temporary file.
    const bool plain = w->options.codec == CODEC_PLAIN;
    return fail(failure, written, plain ? output_of(*w) : nullptr, error_number);
  }
  *writer = w.release();
  return OK;
}

Result compress_into(const char* path, std::FILE* plain, const ContainerWriteOptions& o, Failure* failure) {
  const int threads = o.threads == 0 ? available_processors() : o.threads;
  if (o.codec == CODEC_ZSTD) return zstd_write_file(path, plain, o.zstd_level, threads >= 2 ? threads : 0, failure);
  return threads >= 2 ? gzip_write_file_blocks(path, plain, threads, failure) : gzip_write_file(path, plain, failure);
}

}  // namespace

Result container_writer_open(const char* path, const ContainerWriteOptions& options, ContainerWriter** writer,
                             Failure* failure) {
  if (path == nullptr || writer == nullptr) return fail(failure, ERR_NULL);
  *writer = nullptr;
  if (!options_valid(options)) return fail(failure, ERR_ARGUMENT, path);
  std::unique_ptr<ContainerWriter> w(new (std::nothrow) ContainerWriter);
  const std::size_t length = std::strlen(path) + 1;
  if (w != nullptr) w->path.reset(new (std::nothrow) char[length]);
  if (w == nullptr || w->path == nullptr) return fail(failure, ERR_ALLOC, path);
  std::memcpy(w->path.get(), path, length);
  w->options = options;
  if (options.codec == CODEC_PLAIN) {
    w->stream = std::fopen(path, "wb");
    if (w->stream == nullptr) return fail(failure, ERR_CREATE, path, errno);
  } else {
    w->stream = std::tmpfile();
    if (w->stream == nullptr) return fail(failure, ERR_TMPFILE, nullptr, errno);
  }
  return start_writer(std::move(w), true, writer, failure);
}

Result container_writer_open_stream(std::FILE* stream, const ContainerWriteOptions& options,
                                    ContainerWriter** writer, Failure* failure) {
  if (stream == nullptr || writer == nullptr) return fail(failure, ERR_NULL);
  *writer = nullptr;
  if (!options_valid(options) || options.codec != CODEC_PLAIN) return fail(failure, ERR_ARGUMENT);
  std::unique_ptr<ContainerWriter> w(new (std::nothrow) ContainerWriter);
  if (w == nullptr) return fail(failure, ERR_ALLOC);
  w->options = options;
  w->stream = stream;
  w->owned = false;
  return start_writer(std::move(w), false, writer, failure);
}

Result container_writer_write(ContainerWriter* writer, const float* vector, const PlyTrailer& trailer,
                              Failure* failure) {
  if (writer == nullptr || vector == nullptr) return fail(failure, ERR_NULL);
  const bool plain = writer->options.codec == CODEC_PLAIN;
  if (!writer->at_end) {
    if (std::fseek(writer->stream, 0, SEEK_END) != 0) {
      return fail(failure, ERR_SEEK, plain ? output_of(*writer) : nullptr, errno);
    }
    writer->at_end = true;
  }
  if (const Result written = frame_write_values(writer->stream, vector, &trailer); written != OK) {
    return fail_frame(failure, written, plain ? output_of(*writer) : nullptr, errno, writer->frames);
  }
  ++writer->frames;
  return OK;
}

std::uint32_t container_writer_frames(const ContainerWriter* writer) {
  return writer != nullptr ? writer->frames : 0;
}

Result container_writer_backfill(ContainerWriter* writer, Failure* failure) {
  if (writer == nullptr) return fail(failure, ERR_NULL);
  if (!writer->owned) {
    return writer->header.n_frames == writer->frames ? OK : fail(failure, CONTAINER_ERR_COUNT);
  }
  writer->header.n_frames = writer->frames;
  writer->at_end = false;
  const Result written = header_write(writer->stream, &writer->header);
  if (written == OK) return OK;
  return fail(failure, written, writer->options.codec == CODEC_PLAIN ? output_of(*writer) : nullptr, errno);
}

Result container_writer_close(ContainerWriter* writer, Failure* failure) {
  if (writer == nullptr) return fail(failure, ERR_NULL);
  std::unique_ptr<ContainerWriter> w(writer);
  std::FILE* stream = w->stream;
  if (!w->owned) {
    // The final flush is where a full disk shows up.
    return std::fflush(stream) == 0 && !std::ferror(stream) ? OK : fail(failure, ERR_CLOSE, nullptr, errno);
  }
  if (w->options.codec == CODEC_PLAIN) {
    const bool write_error = std::ferror(stream) != 0;
    return std::fclose(stream) == 0 && !write_error ? OK : fail(failure, ERR_CLOSE, output_of(*w), errno);
  }
  // Closing the temporary file removes it; what it says about itself says
  // nothing about the output.
  const Result compressed = compress_into(w->path.get(), stream, w->options, failure);
  std::fclose(stream);
  return compressed;
}

void container_writer_discard(ContainerWriter* writer) {
  if (writer == nullptr) return;
  if (writer->owned) std::fclose(writer->stream);
  delete writer;
}

// ---- Reading ----------------------------------------------------------------

namespace {

constexpr std::size_t CHUNK = 65536;
constexpr std::uint64_t INTERRUPT_EVERY = std::uint64_t{16} << 20;  // bytes decompressed between two asks

// One decoder of either codec (the codecs share no interface of their own).
// A failure of the file it reads (ERR_READ, with errno) is described in
// `failure`, which has no path: the reader adds it.
struct Decoder {
  ContainerCodec codec = CODEC_PLAIN;
  GzipDecoder* gzip = nullptr;
  ZstdDecoder* zstd = nullptr;
  Failure failure;

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() { close(); }
  void close() {
    gzip_decoder_close(gzip);
    zstd_decoder_close(zstd);
    gzip = nullptr;
    zstd = nullptr;
  }
  // Starts decoding `in` from where it stands.
  Result open(std::FILE* in, ContainerCodec form, bool verify) {
    close();
    codec = form;
    return codec == CODEC_GZIP ? gzip_decoder_open(in, verify, &gzip, &failure)
                               : zstd_decoder_open(in, &zstd, &failure);
  }
  // Up to `capacity` bytes into `out`: *got is 0 at the end of the stream.
  Result read(unsigned char* out, std::size_t capacity, std::size_t* got) {
    return codec == CODEC_GZIP ? gzip_decoder_read(gzip, out, capacity, got, &failure)
                               : zstd_decoder_read(zstd, out, capacity, got, &failure);
  }
  // Exactly `n` bytes, as far as the stream goes: *got < n only at its end.
  Result read_full(unsigned char* out, std::size_t n, std::size_t* got) {
    *got = 0;
    while (*got < n) {
      std::size_t part = 0;
      if (const Result r = read(out + *got, n - *got, &part); r != OK) return r;
      if (part == 0) break;
      *got += part;
    }
    return OK;
  }
  // The errno behind `result`, when the decoder reported it.
  int error_number(Result result) const { return failure.result == result ? failure.error_number : 0; }
};

Result header_result(Result parsed, const FileHeader& header) {
  if (parsed == OK && header.frame_size != FRAME_SIZE) return CONTAINER_ERR_DIMENSION;
  return parsed;
}

std::uint64_t container_bytes(const FileHeader& header) {
  return HEADER_SIZE + std::uint64_t{header.n_frames} * FRAME_SIZE;
}

// Reads and checks the header at the start of a decoder's stream.
Result read_compressed_header(Decoder& decoder, FileHeader* header) {
  unsigned char bytes[HEADER_SIZE];
  std::size_t got = 0;
  if (const Result r = decoder.read_full(bytes, HEADER_SIZE, &got); r != OK) return r;
  if (got < HEADER_SIZE) return CONTAINER_ERR_SHORT_HEADER;
  return header_result(header_parse(bytes, header), *header);
}

}  // namespace

struct ContainerReader {
  std::FILE* file = nullptr;
  std::string path;
  ContainerInfo info{};
  std::uint32_t frames_read = 0;
  Decoder decoder;  // a compressed container's frames, decompressed as they are read

  ~ContainerReader() {
    decoder.close();
    if (file != nullptr) std::fclose(file);
  }
};

namespace {

// Opens a regular file for reading without waiting: opening a FIFO for
// reading blocks until a writer comes, so the type is checked on a
// descriptor opened without blocking, before anything is read.
Result open_regular(const char* path, std::FILE** file, Failure* failure) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(failure, ERR_OPEN, path, errno);
  struct stat st;
  Result result = OK;
  int error_number = 0;
  if (fstat(fd, &st) != 0) {
    result = ERR_OPEN;
    error_number = errno;
  } else if (!S_ISREG(st.st_mode)) {
    result = ERR_NOT_REGULAR;
    error_number = S_ISDIR(st.st_mode) ? EISDIR : 0;
  } else if (const int flags = fcntl(fd, F_GETFL); flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    result = ERR_OPEN;
    error_number = errno;
  } else if ((*file = fdopen(fd, "rb")) == nullptr) {
    result = ERR_ALLOC;
    error_number = errno;
  }
  if (result != OK) {
    close(fd);
    return fail(failure, result, path, error_number);
  }
  return OK;
}

ContainerCodec sniff_codec(const int* first, int n) {
  if (n >= 2 && first[0] == 0x1F && first[1] == 0x8B) return CODEC_GZIP;
  if (n >= 4 && first[0] == 0x28 && first[1] == 0xB5 && first[2] == 0x2F && first[3] == 0xFD) return CODEC_ZSTD;
  return CODEC_PLAIN;
}

Result open_plain(ContainerReader& r, bool verify, Failure* failure) {
  const Result parsed = header_result(header_read(r.file, &r.info.header), r.info.header);
  if (parsed != OK) return fail(failure, parsed, r.path.c_str(), parsed == ERR_READ ? errno : 0);
  if (verify) {
    struct stat st;
    if (fstat(fileno(r.file), &st) != 0) return fail(failure, ERR_READ, r.path.c_str(), errno);
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t expected = container_bytes(r.info.header);
    if (size != expected) {
      return fail(failure, size < expected ? CONTAINER_ERR_CUT_SHORT : CONTAINER_ERR_TRAILING, r.path.c_str());
    }
  }
  r.info.frame_offset = HEADER_SIZE;
  return OK;
}

// The first pass over a compressed container: its header, then exactly as
// many bytes as the header's frames take, then one byte more to learn
// whether the stream ends there (where its checks are made). Nothing is kept.
Result check_compressed(ContainerReader& r, const ContainerReadOptions& options, Decoder& decoder) {
  if (const Result opened = decoder.open(r.file, r.info.codec, options.verify); opened != OK) return opened;
  if (const Result header = read_compressed_header(decoder, &r.info.header); header != OK) return header;
  std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[CHUNK]);
  if (scratch == nullptr) return ERR_ALLOC;
  std::uint64_t remaining = container_bytes(r.info.header) - HEADER_SIZE;
  std::uint64_t since_asked = 0;
  while (remaining > 0) {
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, remaining));
    if (const Result read = decoder.read(scratch.get(), want, &got); read != OK) return read;
    if (got == 0) return options.verify ? CONTAINER_ERR_CUT_SHORT : OK;
    remaining -= got;
    since_asked += got;
    if (since_asked >= INTERRUPT_EVERY && options.interrupted != nullptr) {
      if (options.interrupted(options.interrupt_context)) return ERR_INTERRUPTED;
      since_asked = 0;
    }
  }
  std::size_t more = 0;
  if (const Result read = decoder.read(scratch.get(), 1, &more); read != OK) return read;
  // More content than the frames: not read further, so not checked either.
  return more > 0 && (options.verify || r.info.codec == CODEC_ZSTD) ? CONTAINER_ERR_TRAILING : OK;
}

// Checks a compressed container, then starts the stream its frames are read
// from, positioned after its header.
Result open_compressed(ContainerReader& r, const ContainerReadOptions& options, Failure* failure) {
  r.info.frame_offset = -1;
  Decoder check;
  Result result = check_compressed(r, options, check);
  if (result != OK) return fail(failure, result, r.path.c_str(), check.error_number(result));
  const FileHeader checked = r.info.header;
  if (std::fseek(r.file, 0, SEEK_SET) != 0) return fail(failure, ERR_READ, r.path.c_str(), errno);
  result = r.decoder.open(r.file, r.info.codec, false);
  if (result == OK) result = read_compressed_header(r.decoder, &r.info.header);
  // A file that changed between the passes is not the one checked.
  if (result == OK && std::memcmp(&checked, &r.info.header, sizeof checked) != 0) result = ERR_READ;
  return result == OK ? OK : fail(failure, result, r.path.c_str(), r.decoder.error_number(result));
}

}  // namespace

Result container_reader_open(const char* path, const ContainerReadOptions& options, ContainerReader** reader,
                             Failure* failure) {
  if (path == nullptr || reader == nullptr) return fail(failure, ERR_NULL);
  *reader = nullptr;
  std::unique_ptr<ContainerReader> r(new (std::nothrow) ContainerReader);
  if (r == nullptr) return fail(failure, ERR_ALLOC, path);
  r->path = path;
  if (const Result opened = open_regular(path, &r->file, failure); opened != OK) return opened;
  // fgetc gives ints: the EOF of a short file is never taken for a magic byte.
  int first[4];
  int n = 0;
  while (n < 4 && (first[n] = std::fgetc(r->file)) != EOF) ++n;
  if (std::ferror(r->file) || std::fseek(r->file, 0, SEEK_SET) != 0) return fail(failure, ERR_READ, path, errno);
  r->info.codec = sniff_codec(first, n);
  const Result result = r->info.codec == CODEC_PLAIN ? open_plain(*r, options.verify, failure)
                                                     : open_compressed(*r, options, failure);
  if (result != OK) return result;
  *reader = r.release();
  return OK;
}

const ContainerInfo* container_reader_info(const ContainerReader* reader) {
  return reader != nullptr ? &reader->info : nullptr;
}

namespace {

// A frame from the decompressed stream, straight into the caller's vector.
Result read_compressed_frame(Decoder& decoder, float* vector, PlyTrailer* trailer) {
  auto* bytes = reinterpret_cast<unsigned char*>(vector);
  std::size_t got = 0;
  if (const Result r = decoder.read_full(bytes, ENCODING_DIM * sizeof(float), &got); r != OK) return r;
  if (got < ENCODING_DIM * sizeof(float)) return CONTAINER_ERR_FRAME;
  if constexpr (std::endian::native != std::endian::little) {
    for (int i = 0; i < ENCODING_DIM; ++i) vector[i] = load_le_f32(bytes + 4 * i);
  }
  unsigned char trailer_bytes[TRAILER_SIZE];
  if (const Result r = decoder.read_full(trailer_bytes, TRAILER_SIZE, &got); r != OK) return r;
  if (got < TRAILER_SIZE) return CONTAINER_ERR_FRAME;
  trailer_from_bytes(trailer_bytes, *trailer);
  return OK;
}

}  // namespace

Result container_reader_read(ContainerReader* reader, float* vector, PlyTrailer* trailer, Failure* failure) {
  if (reader == nullptr || vector == nullptr || trailer == nullptr) return fail(failure, ERR_NULL);
  if (reader->frames_read >= reader->info.header.n_frames) return END;
  const bool plain = reader->info.codec == CODEC_PLAIN;
  const Result read = plain ? frame_read_values(reader->file, vector, trailer)
                            : read_compressed_frame(reader->decoder, vector, trailer);
  if (read != OK) {
    const int error_number = plain ? (read == ERR_READ ? errno : 0) : reader->decoder.error_number(read);
    return fail_frame(failure, read, reader->path.c_str(), error_number, reader->frames_read);
  }
  ++reader->frames_read;
  return OK;
}

void container_reader_close(ContainerReader* reader) { delete reader; }

}  // namespace q4d
