// Container files: one writer and one reader that own their files from open
// to close, with the three stored forms behind them.
//
//   plain  the container itself (.quorvane4)
//   gzip   the whole container as one gzip member (.quorvanez4)
//   zstd   the whole container as one zstd frame with its checksum
//
// Writing streams: frames go to the output (plain) or to an anonymous
// temporary file that is compressed into the output when the writer is
// closed, after the frame count has been filled in; the output path is not
// created before that. Memory does not grow with the number of frames.
//
// Reading recognises the form by its first bytes (1F 8B gzip, 28 B5 2F FD
// zstd, anything else plain) and inflates a compressed container into an
// anonymous temporary file, only as far as its header says the frames go:
// 256 + n_frames x 180238 bytes. Frames are then read one by one into the
// caller's buffers.
//
// Results are 0 or a negative code, never printed; each family of codes has a
// name in words (container_write_error_name, container_read_error_name).
#pragma once

#include <cstdint>
#include <cstdio>

#include "container.h"

namespace q4d {

enum ContainerCodec : int {
  CODEC_PLAIN = 0,
  CODEC_GZIP = 1,
  CODEC_ZSTD = 2,
};

// "plain", "gzip", "zstd", or "unknown".
const char* container_codec_name(int codec);

inline constexpr int ZSTD_LEVEL_DEFAULT = 3;
inline constexpr int ZSTD_LEVEL_MIN = 1;
inline constexpr int ZSTD_LEVEL_MAX = 19;

struct ContainerWriteOptions {
  ContainerCodec codec = CODEC_PLAIN;
  int zstd_level = ZSTD_LEVEL_DEFAULT;  // ZSTD_LEVEL_MIN .. ZSTD_LEVEL_MAX; gzip is always level 6
  // Threads that compress, 0 for one per processor. With 1, gzip is one
  // deflate stream; with more, deflated in blocks, giving other bytes (the
  // same for every count of 2 or more) of the same content. Zstd likewise
  // with libzstd's workers.
  int threads = 1;
  // The count the header carries until the writer is backfilled; a writer
  // to a stream that cannot seek must know it from the start.
  std::uint32_t n_frames = 0;
};

enum ContainerWriteResult {
  CONTAINER_WRITE_OK = 0,
  CONTAINER_WRITE_ERR_NULL = -1,
  CONTAINER_WRITE_ERR_OPTIONS = -2,   // unknown codec, zstd level out of range, negative threads, or a compressed stream
  CONTAINER_WRITE_ERR_CREATE = -3,    // the plain output cannot be created
  CONTAINER_WRITE_ERR_TMPFILE = -4,   // no temporary file for a compressed container
  CONTAINER_WRITE_ERR_HEADER = -5,    // writing the first header failed
  CONTAINER_WRITE_ERR_FRAME = -6,     // a frame was not written whole
  CONTAINER_WRITE_ERR_BACKFILL = -7,  // the frame count could not be written into the header
  CONTAINER_WRITE_ERR_COMPRESS = -8,  // compressing into the output failed; it keeps what was written
  CONTAINER_WRITE_ERR_CLOSE = -9,     // the output's last bytes could not be written (a full disk)
  CONTAINER_WRITE_ERR_ALLOC = -10,
};

const char* container_write_error_name(int result);

struct ContainerWriter;

// Opens a writer to the file `path` (created or truncated; for a compressed
// codec, only when the writer is closed) and writes the first header.
// On failure nothing stays open and *writer is null.
[[nodiscard]] int container_writer_open(const char* path, const ContainerWriteOptions& options,
                                        ContainerWriter** writer);

// Opens a plain writer to a stream the caller owns (standard output, perhaps
// a pipe), writing the header where the stream stands, without seeking.
[[nodiscard]] int container_writer_open_stream(std::FILE* stream, const ContainerWriteOptions& options,
                                               ContainerWriter** writer);

// Appends one frame: ENCODING_DIM floats and the trailer.
[[nodiscard]] int container_writer_write(ContainerWriter* writer, const float* vector, const PlyTrailer& trailer);

// The number of frames written so far.
std::uint32_t container_writer_frames(const ContainerWriter* writer);

// Rewrites the header in place with the number of frames written. A writer
// to a caller's stream cannot go back: there it succeeds only when the count
// is already right.
[[nodiscard]] int container_writer_backfill(ContainerWriter* writer);

// Finishes the output (compressing a compressed container into its path),
// closes every file the writer opened and frees it, on every path. Call
// container_writer_backfill first unless the count was known at open.
[[nodiscard]] int container_writer_close(ContainerWriter* writer);

// Closes and frees the writer without making a compressed output: for a
// write given up. A plain output keeps what was written. Null is ignored.
void container_writer_discard(ContainerWriter* writer);

struct ContainerReadOptions {
  // Off: read what can be read, as `csv` does: a container shorter than its
  // header says gives its complete frames, then CONTAINER_READ_ERR_FRAME;
  // gzip's CRC-32 and ISIZE are not read. On: the container must hold exactly
  // the header's frames, and gzip's CRC-32 and ISIZE must match. Zstd
  // checksums are checked either way, so a zstd container may not hold bytes
  // after its last frame either way: they could not be checked.
  bool verify = false;
};

enum ContainerReadResult {
  CONTAINER_READ_OK = 0,
  CONTAINER_READ_ERR_NULL = -1,
  CONTAINER_READ_ERR_OPEN = -2,          // the file cannot be opened, or positioned after its first bytes
  CONTAINER_READ_ERR_TMPFILE = -3,       // the temporary file cannot be created or written (its space ran out)
  CONTAINER_READ_ERR_GZIP_HEADER = -4,   // a malformed gzip header
  CONTAINER_READ_ERR_DECOMPRESS = -5,    // corrupt compressed data, or a stream cut short
  CONTAINER_READ_ERR_GZIP_CHECK = -6,    // verify: gzip's CRC-32 or ISIZE do not match, or are missing
  CONTAINER_READ_ERR_ZSTD_CHECK = -7,    // a zstd checksum does not match
  CONTAINER_READ_ERR_SHORT_HEADER = -8,  // fewer than 256 bytes
  CONTAINER_READ_ERR_MAGIC = -9,
  CONTAINER_READ_ERR_VERSION = -10,      // neither 3 nor 4
  CONTAINER_READ_ERR_FRAME_SIZE = -11,   // frame_size != encoding_dim * 4 + 14
  CONTAINER_READ_ERR_DIMENSION = -12,    // frames of another size than 180238 bytes
  CONTAINER_READ_ERR_CUT_SHORT = -13,    // verify: fewer complete frames than the header counts
  CONTAINER_READ_ERR_TRAILING = -14,     // verify, or zstd: bytes after the last frame
  CONTAINER_READ_ERR_FRAME = -15,        // read: this frame is incomplete
  CONTAINER_READ_ERR_END = -16,          // read: every frame the header counts has been read
  CONTAINER_READ_ERR_ALLOC = -17,
};

const char* container_read_error_name(int result);

// What the reader found when it opened the file.
struct ContainerInfo {
  FileHeader header;
  ContainerCodec codec;
  // Where frame 0 starts in the file at the path: 256 for a plain container
  // (which can then be mapped into memory as it is); -1 for a compressed one.
  std::int64_t frame_offset;
};

struct ContainerReader;

// Opens `path`, recognises its form, reads and checks the header (magic,
// version 3 or 4, frame_size = encoding_dim * 4 + 14 = 180238) and, for a
// compressed file, decompresses it. On failure nothing stays open and
// *reader is null.
[[nodiscard]] int container_reader_open(const char* path, const ContainerReadOptions& options,
                                        ContainerReader** reader);

const ContainerInfo* container_reader_info(const ContainerReader* reader);

// Reads the next frame into `vector` (ENCODING_DIM floats) and `trailer`.
[[nodiscard]] int container_reader_read(ContainerReader* reader, float* vector, PlyTrailer* trailer);

// Closes every file the reader opened (a temporary file vanishes) and frees
// it. Null is ignored.
void container_reader_close(ContainerReader* reader);

}  // namespace q4d
