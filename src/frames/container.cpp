#include "container.h"

#include <bit>
#include <cstring>
#include <limits>

#include "base/byte_order.h"

namespace q4d {
namespace {

static_assert(FRAME_SIZE == 180238);
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
static_assert(ENCODING_DIM % CHANNEL_SIZE == 0);

// On a big-endian host, floats are converted to file order one channel at a
// time.
constexpr int CHUNK_FLOATS = CHANNEL_SIZE;

void header_to_bytes(const FileHeader& h, unsigned char* b) {
  std::memcpy(b, h.magic, 8);
  store_le32(b + 8, h.version);
  store_le32(b + 12, h.encoding_dim);
  store_le32(b + 16, h.frame_size);
  store_le32(b + 20, h.n_frames);
  store_le32(b + 24, h.board_side);
  store_le32(b + 28, h.n_dims);
  std::memcpy(b + 32, h.reserved, sizeof h.reserved);
}

void header_from_bytes(const unsigned char* b, FileHeader& h) {
  std::memcpy(h.magic, b, 8);
  h.version = load_le32(b + 8);
  h.encoding_dim = load_le32(b + 12);
  h.frame_size = load_le32(b + 16);
  h.n_frames = load_le32(b + 20);
  h.board_side = load_le32(b + 24);
  h.n_dims = load_le32(b + 28);
  std::memcpy(h.reserved, b + 32, sizeof h.reserved);
}

// A read that came up short: the stream failed, or it ended early.
Result short_read(std::FILE* stream, Result at_end) { return std::ferror(stream) ? ERR_READ : at_end; }

}  // namespace

void trailer_to_bytes(const PlyTrailer& t, unsigned char* b) {
  store_le32(b, t.ply);
  std::memcpy(b + 4, t.move_from, 4);
  std::memcpy(b + 8, t.move_to, 4);
  b[12] = t.promo;
  b[13] = t.flags;
}

void trailer_from_bytes(const unsigned char* b, PlyTrailer& t) {
  t.ply = load_le32(b);
  std::memcpy(t.move_from, b + 4, 4);
  std::memcpy(t.move_to, b + 8, 4);
  t.promo = b[12];
  t.flags = b[13];
}

void header_init(FileHeader* header) {
  if (header == nullptr) return;
  std::memset(header, 0, sizeof *header);
  std::memcpy(header->magic, CONTAINER_MAGIC, sizeof header->magic);
  header->version = CONTAINER_VERSION;
  header->encoding_dim = ENCODING_DIM;
  header->frame_size = FRAME_SIZE;
  header->n_frames = 0;
  header->board_side = BOARD_SIDE;
  header->n_dims = N_DIMS;
}

Result header_write_here(std::FILE* stream, const FileHeader* header) {
  if (stream == nullptr || header == nullptr) return ERR_NULL;
  unsigned char bytes[HEADER_SIZE];
  header_to_bytes(*header, bytes);
  if (std::fwrite(bytes, 1, HEADER_SIZE, stream) != HEADER_SIZE) return ERR_WRITE;
  return OK;
}

Result header_write(std::FILE* stream, const FileHeader* header) {
  if (stream == nullptr || header == nullptr) return ERR_NULL;
  if (std::fseek(stream, 0, SEEK_SET) != 0) return ERR_SEEK;
  return header_write_here(stream, header);
}

Result header_parse(const unsigned char* bytes, FileHeader* header) {
  if (bytes == nullptr || header == nullptr) return ERR_NULL;
  header_from_bytes(bytes, *header);
  if (std::memcmp(header->magic, CONTAINER_MAGIC, sizeof header->magic) != 0) return CONTAINER_ERR_MAGIC;
  if (header->version != 3 && header->version != 4) return CONTAINER_ERR_VERSION;
  // Computed in 32 bits, as every reader of the format does.
  if (header->frame_size != header->encoding_dim * 4u + TRAILER_SIZE) return CONTAINER_ERR_FRAME_SIZE;
  return OK;
}

Result header_read(std::FILE* stream, FileHeader* header) {
  if (stream == nullptr || header == nullptr) return ERR_NULL;
  if (std::fseek(stream, 0, SEEK_SET) != 0) return ERR_SEEK;
  unsigned char bytes[HEADER_SIZE];
  if (std::fread(bytes, 1, HEADER_SIZE, stream) != HEADER_SIZE) return short_read(stream, CONTAINER_ERR_SHORT_HEADER);
  return header_parse(bytes, header);
}

// On a little-endian host the vector's memory already holds the file's
// bytes: it goes to the stream in one call, with no copy. Elsewhere each
// channel is converted to file order first.
Result frame_write_values(std::FILE* stream, const float* vector, const PlyTrailer* trailer) {
  if (stream == nullptr || vector == nullptr || trailer == nullptr) return ERR_NULL;
  unsigned char bytes[CHUNK_FLOATS * 4];
  if constexpr (std::endian::native == std::endian::little) {
    if (std::fwrite(vector, sizeof(float), ENCODING_DIM, stream) != ENCODING_DIM) return ERR_WRITE;
  } else {
    for (int start = 0; start < ENCODING_DIM; start += CHUNK_FLOATS) {
      for (int i = 0; i < CHUNK_FLOATS; ++i) store_le_f32(bytes + 4 * i, vector[start + i]);
      if (std::fwrite(bytes, 1, sizeof bytes, stream) != sizeof bytes) return ERR_WRITE;
    }
  }
  trailer_to_bytes(*trailer, bytes);
  if (std::fwrite(bytes, 1, TRAILER_SIZE, stream) != TRAILER_SIZE) return ERR_WRITE;
  return OK;
}

Result frame_read_values(std::FILE* stream, float* vector, PlyTrailer* trailer) {
  if (stream == nullptr || vector == nullptr || trailer == nullptr) return ERR_NULL;
  unsigned char bytes[CHUNK_FLOATS * 4];
  if constexpr (std::endian::native == std::endian::little) {
    if (std::fread(vector, sizeof(float), ENCODING_DIM, stream) != ENCODING_DIM) return short_read(stream, CONTAINER_ERR_FRAME);
  } else {
    for (int start = 0; start < ENCODING_DIM; start += CHUNK_FLOATS) {
      if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) return short_read(stream, CONTAINER_ERR_FRAME);
      for (int i = 0; i < CHUNK_FLOATS; ++i) vector[start + i] = load_le_f32(bytes + 4 * i);
    }
  }
  if (std::fread(bytes, 1, TRAILER_SIZE, stream) != TRAILER_SIZE) return short_read(stream, CONTAINER_ERR_FRAME);
  trailer_from_bytes(bytes, *trailer);
  return OK;
}

Result frame_write(std::FILE* stream, const FrameRecord* record) {
  if (record == nullptr) return ERR_NULL;
  return frame_write_values(stream, record->vector.data(), &record->trailer);
}

Result frame_read(std::FILE* stream, FrameRecord* record) {
  if (record == nullptr) return ERR_NULL;
  return frame_read_values(stream, record->vector.data(), &record->trailer);
}

}  // namespace q4d
