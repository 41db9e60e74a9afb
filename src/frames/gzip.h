// Gzip (RFC 1952) form of a whole container: a fixed 10-byte header, one raw
// deflate stream, CRC-32 and length. Nothing is compressed on the fly: a
// writer builds the plain container in a temporary file and compresses that.
#pragma once

#include <cstdio>

namespace q4d {

enum GzipWriteResult {
  GZIP_WRITE_OK = 0,
  GZIP_WRITE_ERR_NULL = -1,
  GZIP_WRITE_ERR_SEEK = -2,     // the source cannot be positioned at 0
  GZIP_WRITE_ERR_OPEN = -3,     // the output cannot be opened for writing
  GZIP_WRITE_ERR_HEADER = -4,   // writing the 10-byte header failed
  GZIP_WRITE_ERR_INIT = -5,     // the deflate stream could not be set up
  GZIP_WRITE_ERR_ALLOC = -6,
  GZIP_WRITE_ERR_READ = -7,     // read error on the source
  GZIP_WRITE_ERR_WRITE = -8,    // short write of compressed data
  GZIP_WRITE_ERR_DEFLATE = -9,  // the deflate stream reported an error
  GZIP_WRITE_ERR_TRAILER = -10,
  GZIP_WRITE_ERR_CLOSE = -11,   // the output's final flush and close failed
};

enum GzipReadResult {
  GZIP_READ_OK = 0,
  GZIP_READ_ERR_NULL = -1,
  GZIP_READ_ERR_OPEN = -2,
  GZIP_READ_ERR_SEEK = -3,     // cannot go back to offset 0 after sniffing
  GZIP_READ_ERR_HEADER = -4,   // malformed gzip header
  GZIP_READ_ERR_TMPFILE = -5,
  GZIP_READ_ERR_INFLATE = -6,
  GZIP_READ_ERR_TMP_SEEK = -7,
};

enum InflateResult {
  INFLATE_OK = 0,
  INFLATE_ERR_INIT = -1,       // also: an absent stream
  INFLATE_ERR_ALLOC = -2,
  INFLATE_ERR_READ = -3,
  INFLATE_ERR_WRITE = -4,
  INFLATE_ERR_DATA = -5,       // corrupt data, or the input stops mid-stream
  INFLATE_ERR_TRUNCATED = -6,  // input at its end and no progress in the last step
};

// Compresses `source` from offset 0 to its end into the file `path`, created
// or truncated. `source` stays open. The output is closed on every path; on
// failure it keeps what was written so far.
int gzip_write_file(const char* path, std::FILE* source);

// Opens `path` for reading as a container. A file not starting with the gzip
// magic is returned as it is, at offset 0; a gzip file is inflated into an
// anonymous temporary file, returned at offset 0. The caller closes *out.
// Only the first member is read; its trailer is not checked.
int gzip_open_read(const char* path, std::FILE** out);

// Inflates one raw deflate stream from `in`'s position into `out`.
int inflate_to_file(std::FILE* in, std::FILE* out);

}  // namespace q4d
