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
// zstd, anything else plain). A compressed container is read as a stream,
// with no temporary file: opening decompresses it once, writing nothing, as
// far as its header says the frames go (256 + n_frames x 180238 bytes), to
// check it as the options ask; frames are then decompressed again, one at a
// time, into the caller's buffers. Only regular files are read: a FIFO, a
// device or a folder is refused at once, never waited on.
//
// Every function that can fail returns a Result (base/result.h); those that
// touch files fill a `Failure` (may be null) with the path, errno and, for a
// frame, its index. None prints. A writer or a reader is used by one thread
// at a time; different ones are independent.
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

struct ContainerWriter;

// Opens a writer to the file `path` (created or truncated; for a compressed
// codec, only when the writer is closed) and writes the first header: OK,
// ERR_ARGUMENT (an unknown codec, a zstd level out of range, negative
// threads), ERR_CREATE (a plain output), ERR_TMPFILE (a compressed one's
// temporary file), ERR_WRITE (the header) or ERR_ALLOC. On failure nothing
// stays open and *writer is null.
Result container_writer_open(const char* path, const ContainerWriteOptions& options, ContainerWriter** writer,
                             Failure* failure = nullptr);

// Opens a plain writer to a stream the caller owns (standard output, perhaps
// a pipe), writing the header where the stream stands, without seeking. A
// compressed codec is ERR_ARGUMENT.
Result container_writer_open_stream(std::FILE* stream, const ContainerWriteOptions& options,
                                    ContainerWriter** writer, Failure* failure = nullptr);

// Appends one frame: ENCODING_DIM floats and the trailer (ERR_WRITE, or
// ERR_SEEK back to the end after a backfill).
Result container_writer_write(ContainerWriter* writer, const float* vector, const PlyTrailer& trailer,
                              Failure* failure = nullptr);

// The number of frames written so far.
std::uint32_t container_writer_frames(const ContainerWriter* writer);

// Rewrites the header in place with the number of frames written (ERR_SEEK,
// ERR_WRITE). A writer to a caller's stream cannot go back: there it
// succeeds only when the count is already right, else CONTAINER_ERR_COUNT.
Result container_writer_backfill(ContainerWriter* writer, Failure* failure = nullptr);

// Finishes the output (compressing a compressed container into its path),
// closes every file the writer opened and frees it, on every path. Call
// container_writer_backfill first unless the count was known at open. A
// plain output whose last bytes cannot be written fails with ERR_CLOSE; a
// compressed one with the compressor's ERR_SEEK or ERR_READ (of the
// temporary file), ERR_CREATE, ERR_WRITE, ERR_CLOSE, ERR_THREADS or
// ERR_ALLOC, and keeps what was written.
Result container_writer_close(ContainerWriter* writer, Failure* failure = nullptr);

// Closes and frees the writer without making a compressed output: for a
// write given up. A plain output keeps what was written. Null is ignored.
void container_writer_discard(ContainerWriter* writer);

struct ContainerReadOptions {
  // Off: read what can be read, as `csv` does: a container shorter than its
  // header says gives its complete frames, then CONTAINER_ERR_FRAME; gzip's
  // CRC-32 and ISIZE are not read. On: the container must hold exactly the
  // header's frames (else CONTAINER_ERR_CUT_SHORT or CONTAINER_ERR_TRAILING),
  // and gzip's CRC-32 and ISIZE must match (CODEC_ERR_CHECK). Zstd checksums
  // are checked either way, so a zstd container may not hold bytes after its
  // last frame either way: they could not be checked.
  bool verify = false;
  // Asked every few megabytes while a compressed container is checked at
  // open, which can take long (a small file may claim gigabytes of frames):
  // true stops the opening with ERR_INTERRUPTED. Null: never asked.
  bool (*interrupted)(void* context) = nullptr;
  void* interrupt_context = nullptr;
};

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
// compressed file, its stream as far as the header's frames go. Fails with
// ERR_OPEN, ERR_NOT_REGULAR, ERR_READ, ERR_ALLOC, ERR_INTERRUPTED, a
// CONTAINER_ERR_ of the header or the frame count, or the codecs'
// CODEC_ERR_HEADER, CODEC_ERR_DATA, CODEC_ERR_CUT or CODEC_ERR_CHECK. On
// failure nothing stays open and *reader is null.
Result container_reader_open(const char* path, const ContainerReadOptions& options, ContainerReader** reader,
                             Failure* failure = nullptr);

const ContainerInfo* container_reader_info(const ContainerReader* reader);

// Reads the next frame into `vector` (ENCODING_DIM floats) and `trailer`:
// OK; END once every frame the header counts has been read;
// CONTAINER_ERR_FRAME for a frame that the file ends inside (only without
// verification); ERR_READ, or a codec's result if the file changed after it
// was opened. The failure's index is the frame's.
Result container_reader_read(ContainerReader* reader, float* vector, PlyTrailer* trailer,
                             Failure* failure = nullptr);

// Closes the file and frees the reader. Null is ignored.
void container_reader_close(ContainerReader* reader);

}  // namespace q4d
