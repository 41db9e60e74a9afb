#include "codecs/byte_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "codecs/codecs.h"

namespace q4d {

struct ByteReader {
  int fd = -1;
  bool owned = false;    // false for standard input
  bool regular = false;  // a regular file, which never keeps a read waiting
  std::string path;
  bool sniffed = false;
  ByteCodec codec = BYTES_PLAIN;
  unsigned char first[4] = {};  // the first bytes, read to recognise the form; given back before the rest
  std::size_t first_size = 0, first_given = 0;
  GzipDecoder* gzip = nullptr;
  ZstdDecoder* zstd = nullptr;

  ~ByteReader() {
    gzip_decoder_close(gzip);
    zstd_decoder_close(zstd);
    if (owned && fd >= 0) ::close(fd);
  }
};

namespace {

// The file's own bytes. Anything but a regular file is polled before it is
// read: a FIFO without a writer then waits for one instead of reading as
// empty, and a signal ends any wait with PAUSED.
Result read_raw(ByteReader& r, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure) {
  *n = 0;
  if (r.first_given < r.first_size) {
    *n = std::min(capacity, r.first_size - r.first_given);
    std::memcpy(out, r.first + r.first_given, *n);
    r.first_given += *n;
    return OK;
  }
  for (bool ready = r.regular;;) {
    if (!ready) {
      pollfd p{r.fd, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0) return errno == EINTR ? PAUSED : fail(failure, ERR_READ, r.path.c_str(), errno);
      ready = true;
    }
    const ssize_t got = ::read(r.fd, out, capacity);
    if (got >= 0) {
      *n = static_cast<std::size_t>(got);
      return OK;
    }
    if (errno == EINTR) return PAUSED;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(failure, ERR_READ, r.path.c_str(), errno);
    ready = false;
  }
}

Result raw_source(void* context, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure) {
  return read_raw(*static_cast<ByteReader*>(context), out, capacity, n, failure);
}

// Reads the first bytes and sets up the decoder they call for.
Result sniff(ByteReader& r, Failure* failure) {
  while (r.first_size < sizeof r.first) {
    std::size_t n = 0;
    r.first_given = r.first_size;  // read_raw then reads the file itself
    const Result read = read_raw(r, r.first + r.first_size, sizeof r.first - r.first_size, &n, failure);
    r.first_given = 0;
    if (read != OK) return read;
    if (n == 0) break;
    r.first_size += n;
  }
  const unsigned char* b = r.first;
  if (r.first_size >= 2 && b[0] == 0x1F && b[1] == 0x8B) {
    r.codec = BYTES_GZIP;
  } else if (r.first_size >= 4 && b[0] == 0x28 && b[1] == 0xB5 && b[2] == 0x2F && b[3] == 0xFD) {
    r.codec = BYTES_ZSTD;
  }
  const ByteSource source{raw_source, &r};
  const Result opened = r.codec == BYTES_GZIP   ? gzip_decoder_open(source, GZIP_ALL_MEMBERS, &r.gzip)
                        : r.codec == BYTES_ZSTD ? zstd_decoder_open(source, &r.zstd)
                                                : OK;
  if (opened != OK) return fail(failure, opened, r.path.c_str());
  r.sniffed = true;
  return OK;
}

}  // namespace

Result byte_reader_open(const char* path, ByteReader** reader, Failure* failure) {
  if (path == nullptr || reader == nullptr) return fail(failure, ERR_NULL);
  *reader = nullptr;
  std::unique_ptr<ByteReader> r(new (std::nothrow) ByteReader);
  if (r == nullptr) return fail(failure, ERR_ALLOC, path);
  try {
    r->path = path;
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC, path);
  }
  if (std::strcmp(path, "-") == 0) {
    r->fd = STDIN_FILENO;
  } else {
    // Non-blocking, so that opening a FIFO does not wait for its writer.
    r->fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (r->fd < 0) return fail(failure, ERR_OPEN, path, errno);
    r->owned = true;
  }
  struct stat st;
  if (fstat(r->fd, &st) != 0) return fail(failure, ERR_OPEN, path, errno);
  r->regular = S_ISREG(st.st_mode);
  *reader = r.release();
  return OK;
}

Result byte_reader_read(ByteReader* reader, unsigned char* out, std::size_t capacity, std::size_t* n,
                        Failure* failure) {
  if (n != nullptr) *n = 0;
  if (reader == nullptr || out == nullptr || n == nullptr) return fail(failure, ERR_NULL);
  if (capacity == 0) return OK;
  if (!reader->sniffed) {
    if (const Result sniffed = sniff(*reader, failure); sniffed != OK) return sniffed;
  }
  Result read = OK;
  switch (reader->codec) {
    case BYTES_GZIP: read = gzip_decoder_read(reader->gzip, out, capacity, n, failure); break;
    case BYTES_ZSTD: read = zstd_decoder_read(reader->zstd, out, capacity, n, failure); break;
    default: return read_raw(*reader, out, capacity, n, failure);
  }
  // The decoders know no path.
  if (read != OK && read != PAUSED && failure != nullptr && failure->path.empty()) failure->path = reader->path;
  return read;
}

Result byte_reader_seek(ByteReader* reader, std::int64_t offset, Failure* failure) {
  if (reader == nullptr) return fail(failure, ERR_NULL);
  if (offset < 0) return fail(failure, ERR_ARGUMENT);
  if (!reader->regular) return fail(failure, ERR_SEEK, reader->path.c_str());
  if (!reader->sniffed) {
    if (const Result sniffed = sniff(*reader, failure); sniffed != OK) return sniffed;
  }
  if (reader->codec != BYTES_PLAIN) return fail(failure, ERR_SEEK, reader->path.c_str());
  if (::lseek(reader->fd, offset, SEEK_SET) < 0) return fail(failure, ERR_SEEK, reader->path.c_str(), errno);
  reader->first_given = reader->first_size;
  return OK;
}

ByteCodec byte_reader_codec(const ByteReader* reader) { return reader != nullptr ? reader->codec : BYTES_PLAIN; }

const char* byte_reader_path(const ByteReader* reader) { return reader != nullptr ? reader->path.c_str() : ""; }

void byte_reader_close(ByteReader* reader) { delete reader; }

}  // namespace q4d
