// Gzip and zstd streams over zlib and libzstd: the compressed forms of a
// whole container, behind the container writer and reader
// (frames/container_file.h), and of any other file read as a stream; not
// installed.
//
// Writing: a complete plain container in a seekable source stream (the
// writer's temporary file) is compressed from its first byte into a file.
// Reading: a decoder pulls the uncompressed container out of an open file,
// as many bytes at a time as the caller has room for, so that the reader
// can stop where the container's header says the frames end.
#pragma once

#include <cstddef>
#include <cstdio>

namespace q4d {

enum CompressResult {
  COMPRESS_OK = 0,
  COMPRESS_ERR_NULL = -1,
  COMPRESS_ERR_SEEK = -2,     // the source cannot be positioned
  COMPRESS_ERR_OPEN = -3,     // the output cannot be opened for writing
  COMPRESS_ERR_HEADER = -4,   // writing the gzip header failed
  COMPRESS_ERR_INIT = -5,     // the compressor could not be set up
  COMPRESS_ERR_ALLOC = -6,
  COMPRESS_ERR_READ = -7,     // read error on the source
  COMPRESS_ERR_WRITE = -8,    // short write of compressed data
  COMPRESS_ERR_CODEC = -9,    // the compressor reported an error
  COMPRESS_ERR_TRAILER = -10, // writing the gzip trailer failed
  COMPRESS_ERR_CLOSE = -11,   // the output's final flush and close failed
  COMPRESS_ERR_THREADS = -12, // the compressing threads could not be started
};

// What every writer does first: measures the source, puts it back at its
// start and creates the output. COMPRESS_OK, _SEEK or _OPEN.
inline int start_compressed_file(const char* path, std::FILE* source, long* size, std::FILE** out) {
  if (std::fseek(source, 0, SEEK_END) != 0) return COMPRESS_ERR_SEEK;
  *size = std::ftell(source);
  if (*size < 0 || std::fseek(source, 0, SEEK_SET) != 0) return COMPRESS_ERR_SEEK;
  *out = std::fopen(path, "wb");
  return *out != nullptr ? COMPRESS_OK : COMPRESS_ERR_OPEN;
}

// ... and last: closes the output, where a full disk often shows only when
// the buffered tail is flushed. Returns `result` unless that fails.
inline int finish_compressed_file(std::FILE* out, int result) {
  return std::fclose(out) != 0 && result == COMPRESS_OK ? COMPRESS_ERR_CLOSE : result;
}

// Fixed 10-byte header (no flags, MTIME 0, OS unknown), one raw deflate
// stream at level 6 (window bits -15, memory level 9), CRC-32 and ISIZE.
// The output is closed on every path and keeps what was written.
[[nodiscard]] int gzip_write_file(const char* path, std::FILE* source);

// The same gzip member, deflated by `threads` threads in 128 KiB blocks,
// each primed with the 32 KiB before it and ended with a sync flush (the
// last with finish). The bytes depend only on the source, never on the
// number of threads; they differ from gzip_write_file's.
[[nodiscard]] int gzip_write_file_blocks(const char* path, std::FILE* source, int threads);

// One zstd frame with the content size and checksum, a window of 8 MiB (which
// reaches many frames back), `workers` of libzstd's own threads (0: none).
[[nodiscard]] int zstd_write_file(const char* path, std::FILE* source, int level, int workers);

enum DecodeResult {
  DECODE_ERR_NULL = -1,
  DECODE_ERR_ALLOC = -2,
  DECODE_ERR_READ = -3,         // read error on the input
  DECODE_ERR_HEADER = -4,       // malformed gzip header
  DECODE_ERR_DATA = -5,         // corrupt compressed data
  DECODE_ERR_CUT = -6,          // the input ends before the compressed stream does
  DECODE_ERR_GZIP_CHECK = -7,   // CRC-32 or ISIZE differ from the content (checked only when asked)
  DECODE_ERR_ZSTD_CHECK = -8,   // the zstd content checksum differs (always checked)
};

// A gzip decoder reads the first member of `in` from its current position:
// the header with its optional fields, then the deflate stream. With
// `check_trailer`, the CRC-32 and ISIZE after the stream must be present
// and match what was inflated; otherwise nothing after the stream is read.
struct GzipDecoder;
[[nodiscard]] int gzip_decoder_open(std::FILE* in, bool check_trailer, GzipDecoder** decoder);
// Inflates up to `capacity` bytes into `out`. Returns the number of bytes
// (at least 1), 0 once the stream has ended (and its trailer checked), or a
// DecodeResult.
[[nodiscard]] long gzip_decoder_read(GzipDecoder* decoder, unsigned char* out, std::size_t capacity);
void gzip_decoder_close(GzipDecoder* decoder);  // does not close `in`

// A zstd decoder reads every frame from `in`'s position to its end, as
// libzstd's own tools do; each frame's checksum, when it has one, is checked.
struct ZstdDecoder;
[[nodiscard]] int zstd_decoder_open(std::FILE* in, ZstdDecoder** decoder);
[[nodiscard]] long zstd_decoder_read(ZstdDecoder* decoder, unsigned char* out, std::size_t capacity);
void zstd_decoder_close(ZstdDecoder* decoder);

}  // namespace q4d
