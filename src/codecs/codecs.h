// Gzip and zstd streams over zlib and libzstd: the compressed forms of a
// whole container, behind the container writer and reader
// (frames/container_file.h), and of any file read as a stream (byte_reader.h);
// not installed.
//
// Writing: a complete plain container in a seekable source stream (the
// writer's temporary file) is compressed from its first byte into a file.
// Reading: a decoder pulls the uncompressed bytes out of an open file or any
// other source of compressed bytes, as many at a time as the caller has room
// for, so that the reader can stop where its format says the content ends.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include "base/result.h"

namespace q4d {

// What every writer does first: measures the source, puts it back at its
// start and creates the output. OK, ERR_SEEK or ERR_CREATE.
inline Result start_compressed_file(const char* path, std::FILE* source, long* size, std::FILE** out,
                                    Failure* failure) {
  if (std::fseek(source, 0, SEEK_END) != 0) return fail(failure, ERR_SEEK, nullptr, errno);
  *size = std::ftell(source);
  if (*size < 0 || std::fseek(source, 0, SEEK_SET) != 0) return fail(failure, ERR_SEEK, nullptr, errno);
  *out = std::fopen(path, "wb");
  return *out != nullptr ? OK : fail(failure, ERR_CREATE, path, errno);
}

// ... and last: closes the output, where a full disk often shows only when
// the buffered tail is flushed. Returns `result` unless that fails.
inline Result finish_compressed_file(const char* path, std::FILE* out, Result result, Failure* failure) {
  return std::fclose(out) != 0 && result == OK ? fail(failure, ERR_CLOSE, path, errno) : result;
}

// Fixed 10-byte header (no flags, MTIME 0, OS unknown), one raw deflate
// stream at level 6 (window bits -15, memory level 9), CRC-32 and ISIZE.
// The output is closed on every path and keeps what was written. Failures:
// ERR_NULL, ERR_SEEK (the source), ERR_CREATE, ERR_READ, ERR_WRITE, ERR_CLOSE,
// ERR_ALLOC (also a compressor that fails, for want of memory).
Result gzip_write_file(const char* path, std::FILE* source, Failure* failure);

// The same gzip member, deflated by `threads` threads in 128 KiB blocks,
// each primed with the 32 KiB before it and ended with a sync flush (the
// last with finish). The bytes depend only on the source, never on the
// number of threads; they differ from gzip_write_file's. ERR_ARGUMENT for
// threads < 1, ERR_THREADS when they cannot be started.
Result gzip_write_file_blocks(const char* path, std::FILE* source, int threads, Failure* failure);

// One zstd frame with the content size and checksum, a window of 8 MiB (which
// reaches many frames back), `workers` of libzstd's own threads (0: none).
// ERR_ARGUMENT for a level or worker count libzstd refuses.
Result zstd_write_file(const char* path, std::FILE* source, int level, int workers, Failure* failure);

// Where a decoder pulls its compressed bytes from: `read` fills `out` with up
// to `capacity` bytes and sets *n, 0 at the end of the input. It returns OK,
// PAUSED (nothing read, try again), or a failure it has described in
// `failure`.
struct ByteSource {
  Result (*read)(void* context, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure);
  void* context;
};

// A source that reads `in` with fread: ERR_READ, with errno, on a read error.
ByteSource file_byte_source(std::FILE* in);

// Decoders return, besides the failures of their source: ERR_NULL, ERR_ALLOC,
// CODEC_ERR_HEADER (gzip's), CODEC_ERR_DATA, CODEC_ERR_CUT, CODEC_ERR_CHECK;
// ERR_READ with errno for a read error of a file. A read gives *n of at
// least 1 byte, or 0 once the stream has ended (and been checked); PAUSED
// from the source comes back with nothing lost.

// What a gzip decoder reads of its input.
enum GzipMembers {
  GZIP_FIRST_MEMBER,          // the first member; nothing after its deflate stream is read
  GZIP_FIRST_MEMBER_CHECKED,  // ... and its CRC-32 and ISIZE, which must match
  GZIP_ALL_MEMBERS,           // every member to the end of the input, each checked, as gzip(1) reads a file
};

// A gzip decoder reads the header with its optional fields, then the deflate
// stream, from the current position of `in` (which stays open) or from a
// source.
struct GzipDecoder;
Result gzip_decoder_open(std::FILE* in, bool check_trailer, GzipDecoder** decoder, Failure* failure);
Result gzip_decoder_open(const ByteSource& source, GzipMembers members, GzipDecoder** decoder);
Result gzip_decoder_read(GzipDecoder* decoder, unsigned char* out, std::size_t capacity, std::size_t* n,
                         Failure* failure);
void gzip_decoder_close(GzipDecoder* decoder);  // does not close `in`

// A zstd decoder reads every frame from its input's position to its end, as
// libzstd's own tools do; each frame's checksum, when it has one, is checked.
struct ZstdDecoder;
Result zstd_decoder_open(std::FILE* in, ZstdDecoder** decoder, Failure* failure);
Result zstd_decoder_open(const ByteSource& source, ZstdDecoder** decoder);
Result zstd_decoder_read(ZstdDecoder* decoder, unsigned char* out, std::size_t capacity, std::size_t* n,
                         Failure* failure);
void zstd_decoder_close(ZstdDecoder* decoder);

}  // namespace q4d
