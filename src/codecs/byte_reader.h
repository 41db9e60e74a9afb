// The bytes of a file whatever form it is stored in: plain, gzip (every
// member, each checked, as gzip -d reads them) or zstd (every frame, each
// checked), recognised by the first bytes (1F 8B gzip, 28 B5 2F FD zstd,
// anything else plain). The ply-log reader and the loader's text sources read
// their files through it; not installed.
//
// It reads with the system's read(2), so that a long wait can give way to a
// signal: a read that a signal interrupts, or a FIFO that waits for its
// writer, returns PAUSED, and the caller (an interpreter, say) handles the
// signal and calls again. Opening never blocks, even on a FIFO without a
// writer; nothing is read before the first read or seek.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/result.h"

namespace q4d {

enum ByteCodec {
  BYTES_PLAIN = 0,
  BYTES_GZIP = 1,
  BYTES_ZSTD = 2,
};

struct ByteReader;

// Opens `path`, or standard input for "-" (which is read from where it
// stands, and never closed). ERR_NULL, ERR_OPEN (with errno), ERR_ALLOC.
Result byte_reader_open(const char* path, ByteReader** reader, Failure* failure);

// Reads up to `capacity` bytes of content into `out`: *n bytes, 0 at the end.
// Failures: ERR_READ (with errno) and those of the decoders (codecs.h),
// each with the path; PAUSED is none.
Result byte_reader_read(ByteReader* reader, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure);

// Goes to byte `offset` of a plain regular file (an offset past its end
// reads nothing). ERR_SEEK for any other file: a compressed one, a pipe.
Result byte_reader_seek(ByteReader* reader, std::int64_t offset, Failure* failure);

// The form of the file, once the first read or seek has looked at it.
ByteCodec byte_reader_codec(const ByteReader* reader);

const char* byte_reader_path(const ByteReader* reader);

// Closes the file (unless it is standard input) and frees the reader. Null is ignored.
void byte_reader_close(ByteReader* reader);

}  // namespace q4d
