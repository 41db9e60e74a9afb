// Fuzz target: the container reader's zstd path.
//
// Every input is read as a zstd file: one that does not start with zstd's
// magic number gets it put in front, so that the fuzzer's work goes into
// frame headers, blocks and checksums rather than into finding the magic.
// The file is opened with and without verification and every frame the
// header counts is read. Besides the sanitizers' checks: results are
// documented codes; verification refuses nothing the plain reading accepts
// that it should not, and accepts only what libzstd itself decompresses, as
// a whole, to exactly the header's frames, byte for byte; no stream stays
// open afterwards.
#include <zstd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "frames/container_file.h"
#include "input_file.h"

namespace {

constexpr std::uint8_t MAGIC[4] = {0x28, 0xB5, 0x2F, 0xFD};

// libzstd's own reading of the whole file, every frame, stopping once more
// than `limit` bytes come out. False for a stream that fails or is cut.
bool libzstd_content(const std::vector<std::uint8_t>& file, std::size_t limit, std::vector<std::uint8_t>* out) {
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  ZSTD_inBuffer in{file.data(), file.size(), 0};
  std::uint8_t chunk[65536];
  std::size_t hint = 1;
  bool ok = true;
  while (ok && in.pos < in.size && out->size() <= limit) {
    ZSTD_outBuffer o{chunk, sizeof chunk, 0};
    hint = ZSTD_decompressStream(dctx, &o, &in);
    ok = !ZSTD_isError(hint);
    if (ok) out->insert(out->end(), chunk, chunk + o.pos);
  }
  // Output still held in the decoder when the input is used up.
  while (ok && hint != 0 && out->size() <= limit) {
    ZSTD_outBuffer o{chunk, sizeof chunk, 0};
    hint = ZSTD_decompressStream(dctx, &o, &in);
    ok = !ZSTD_isError(hint) && o.pos > 0;
    if (ok) out->insert(out->end(), chunk, chunk + o.pos);
  }
  ZSTD_freeDCtx(dctx);
  return ok && (hint == 0 || out->size() > limit);
}

// Reads every counted frame; the bytes of the container as read.
q4d::Result read_all(const char* path, bool verify, std::vector<std::uint8_t>* container) {
  q4d::ContainerReader* reader = nullptr;
  const q4d::Result opened = q4d::container_reader_open(path, q4d::ContainerReadOptions{verify}, &reader);
  if ((opened == q4d::OK) != (reader != nullptr)) std::abort();
  if (opened > 0 || std::string(q4d::result_name(opened)) == "unknown result") std::abort();
  if (reader == nullptr) return opened;
  const q4d::ContainerInfo* info = q4d::container_reader_info(reader);
  if (info->codec != q4d::CODEC_ZSTD || info->frame_offset != -1) std::abort();
  container->resize(q4d::HEADER_SIZE);
  // The header as it was read, through its fields.
  std::memcpy(container->data(), info->header.magic, 8);
  const std::uint32_t fields[6] = {info->header.version,  info->header.encoding_dim, info->header.frame_size,
                                   info->header.n_frames, info->header.board_side,   info->header.n_dims};
  for (int i = 0; i < 6; ++i) q4d::store_le32(container->data() + 8 + 4 * i, fields[i]);
  std::memcpy(container->data() + 32, info->header.reserved, sizeof info->header.reserved);
  static q4d::FrameRecord frame;
  for (std::uint32_t i = 0; i < info->header.n_frames; ++i) {
    const q4d::Result read = q4d::container_reader_read(reader, frame.vector.data(), &frame.trailer);
    if (read != q4d::OK) {
      if (verify || read != q4d::CONTAINER_ERR_FRAME) std::abort();  // verified: every frame is there
      break;
    }
    const std::size_t at = container->size();
    container->resize(at + q4d::FRAME_SIZE);
    for (int k = 0; k < q4d::ENCODING_DIM; ++k) q4d::store_le_f32(container->data() + at + 4 * k, frame.vector[k]);
    std::uint8_t* t = container->data() + at + 4 * q4d::ENCODING_DIM;
    q4d::store_le32(t, frame.trailer.ply);
    std::memcpy(t + 4, frame.trailer.move_from, 4);
    std::memcpy(t + 8, frame.trailer.move_to, 4);
    t[12] = frame.trailer.promo;
    t[13] = frame.trailer.flags;
  }
  if (q4d::container_reader_read(reader, frame.vector.data(), &frame.trailer) == q4d::OK) std::abort();
  q4d::container_reader_close(reader);
  return opened;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const q4d::fuzz::InputFile input("q4d_zstd_fuzz");
  std::vector<std::uint8_t> file;
  if (size < 4 || std::memcmp(data, MAGIC, 4) != 0) file.assign(MAGIC, MAGIC + 4);
  file.insert(file.end(), data, data + size);
  input.write(file.data(), file.size());

  const int descriptors = q4d::fuzz::open_descriptors();
  std::vector<std::uint8_t> unverified, verified;
  const q4d::Result plain_result = read_all(input.path.c_str(), false, &unverified);
  const q4d::Result verified_result = read_all(input.path.c_str(), true, &verified);
  if (q4d::fuzz::open_descriptors() != descriptors) std::abort();
  if (verified_result == q4d::OK) {
    if (plain_result != q4d::OK || unverified != verified) std::abort();
    std::vector<std::uint8_t> reference;
    if (!libzstd_content(file, verified.size(), &reference) || reference != verified) std::abort();
  }
  return 0;
}
