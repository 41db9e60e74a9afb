// The frame container: a 256-byte header followed by fixed-size frames, one
// per encoded position. All numbers little-endian, floats IEEE single.
//
//   header   offset  0  magic "ENAVUQOR"        offset 20  n_frames
//                    8  version (4; 3 read)            24  board_side (8)
//                   12  encoding_dim (45056)           28  n_dims (4)
//                   16  frame_size (180238)            32  224 reserved zero bytes
//   frame    45056 x f32 vector, then the 14-byte ply trailer:
//            ply u32, move_from 4 x u8, move_to 4 x u8, promo u8, flags u8
//
// Frame k starts at byte 256 + k * 180238. The records are serialised field
// by field, never written as in-memory structs (a natural FrameRecord pads
// to 180240 bytes).
#pragma once

#include <cstdint>
#include <cstdio>

#include "../base/result.h"  // public headers include each other by relative path
#include "../encoder/encoding.h"
#include "../position/ply_trailer.h"  // the last 14 bytes of a frame

namespace q4d {

inline constexpr char CONTAINER_MAGIC[8] = {'E', 'N', 'A', 'V', 'U', 'Q', 'O', 'R'};
inline constexpr std::uint32_t CONTAINER_VERSION = 4;
inline constexpr int HEADER_SIZE = 256;
inline constexpr int TRAILER_SIZE = 14;
inline constexpr int FRAME_SIZE = ENCODING_DIM * 4 + TRAILER_SIZE;  // 180238

struct FileHeader {
  char magic[8];
  std::uint32_t version;
  std::uint32_t encoding_dim;
  std::uint32_t frame_size;
  std::uint32_t n_frames;
  std::uint32_t board_side;
  std::uint32_t n_dims;
  std::uint8_t reserved[224];
};

struct FrameRecord {
  EncodingVector vector;
  PlyTrailer trailer;
};

// The 14 bytes of a trailer in file order, and back.
void trailer_to_bytes(const PlyTrailer& trailer, unsigned char* bytes);
void trailer_from_bytes(const unsigned char* bytes, PlyTrailer& trailer);

// Zeroes the header and fills in the magic and the dimensions of this
// encoding, with n_frames 0. Does nothing for a null header.
void header_init(FileHeader* header);

// Writes the 256 header bytes at offset 0 (seeking there first, so a count
// known only at the end can be backfilled) and leaves the stream at 256:
// OK, ERR_NULL, ERR_SEEK or ERR_WRITE.
Result header_write(std::FILE* stream, const FileHeader* header);

// Writes the 256 header bytes at the stream's current position, without
// seeking: for streams that cannot seek, such as a pipe.
Result header_write_here(std::FILE* stream, const FileHeader* header);

// Reads the header from offset 0 and validates magic, version and frame size
// in that order (CONTAINER_ERR_MAGIC, _VERSION, _FRAME_SIZE); fewer than 256
// bytes are CONTAINER_ERR_SHORT_HEADER, a failed read ERR_READ. Other fields
// are taken as they stand.
Result header_read(std::FILE* stream, FileHeader* header);

// The same checks of 256 bytes in memory.
Result header_parse(const unsigned char* bytes, FileHeader* header);

// Write or read one whole frame at the current position: OK, ERR_NULL,
// ERR_WRITE; reading, CONTAINER_ERR_FRAME when the stream ends inside the
// frame and ERR_READ when it fails.
Result frame_write(std::FILE* stream, const FrameRecord* record);
Result frame_read(std::FILE* stream, FrameRecord* record);

// The same with the frame's parts apart: `vector` holds ENCODING_DIM floats
// (a row of a batch of encodings, or a caller's array).
Result frame_write_values(std::FILE* stream, const float* vector, const PlyTrailer* trailer);
Result frame_read_values(std::FILE* stream, float* vector, PlyTrailer* trailer);

}  // namespace q4d
