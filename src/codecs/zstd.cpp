// The zstd form: the whole container as one zstd frame with its content size
// and checksum. Its window reaches the frames before, which change little
// from one ply to the next; deflate's 32 KiB cannot reach even one.
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdint>
#include <memory>
#include <new>

#include "codecs/codecs.h"

namespace q4d {
namespace {

constexpr int WINDOW_LOG = 23;       // 8 MiB: some 46 frames
constexpr int JOB_SIZE = 2 << 20;   // what one worker compresses at a time: memory grows with workers times this

struct CompressBuffers {
  std::size_t in_size = ZSTD_CStreamInSize(), out_size = ZSTD_CStreamOutSize();
  std::unique_ptr<unsigned char[]> in{new (std::nothrow) unsigned char[in_size]};
  std::unique_ptr<unsigned char[]> out{new (std::nothrow) unsigned char[out_size]};
  bool ok() const { return in != nullptr && out != nullptr; }
};

bool set_parameters(ZSTD_CCtx* cctx, int level, int workers, std::uint64_t size) {
  return !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, WINDOW_LOG)) &&
         !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, workers)) &&
         (workers == 0 || !ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_jobSize, JOB_SIZE))) &&
         !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx, size));
}

int compress_source(std::FILE* source, std::FILE* out, ZSTD_CCtx* cctx, CompressBuffers& buf) {
  for (;;) {
    const std::size_t n = std::fread(buf.in.get(), 1, buf.in_size, source);
    if (n == 0 && std::ferror(source)) return COMPRESS_ERR_READ;
    const ZSTD_EndDirective mode = n > 0 ? ZSTD_e_continue : ZSTD_e_end;  // an empty read ends the frame
    ZSTD_inBuffer in{buf.in.get(), n, 0};
    for (bool finished = false; !finished;) {
      ZSTD_outBuffer o{buf.out.get(), buf.out_size, 0};
      const std::size_t remaining = ZSTD_compressStream2(cctx, &o, &in, mode);
      if (ZSTD_isError(remaining)) return COMPRESS_ERR_CODEC;
      if (std::fwrite(buf.out.get(), 1, o.pos, out) != o.pos) return COMPRESS_ERR_WRITE;
      finished = mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
    }
    if (mode == ZSTD_e_end) return COMPRESS_OK;
  }
}

}  // namespace

int zstd_write_file(const char* path, std::FILE* source, int level, int workers) {
  if (path == nullptr || source == nullptr) return COMPRESS_ERR_NULL;
  long size = 0;
  std::FILE* out = nullptr;
  if (const int started = start_compressed_file(path, source, &size, &out); started != COMPRESS_OK) return started;

  int result = COMPRESS_OK;
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) {
    result = COMPRESS_ERR_ALLOC;
  } else if (!set_parameters(cctx, level, workers, static_cast<std::uint64_t>(size))) {
    result = COMPRESS_ERR_INIT;
  } else {
    CompressBuffers buf;
    result = buf.ok() ? compress_source(source, out, cctx, buf) : COMPRESS_ERR_ALLOC;
  }
  ZSTD_freeCCtx(cctx);  // joins libzstd's workers; null is ignored
  return finish_compressed_file(out, result);
}

struct ZstdDecoder {
  std::FILE* in = nullptr;
  ZSTD_DCtx* dctx = nullptr;
  std::unique_ptr<unsigned char[]> buf;
  std::size_t buf_size = ZSTD_DStreamInSize();
  ZSTD_inBuffer input{nullptr, 0, 0};
  bool frame_done = false;  // the last call completed a frame and flushed all of it
};

int zstd_decoder_open(std::FILE* in, ZstdDecoder** decoder) {
  if (in == nullptr || decoder == nullptr) return DECODE_ERR_NULL;
  *decoder = nullptr;
  std::unique_ptr<ZstdDecoder> d(new (std::nothrow) ZstdDecoder);
  if (d == nullptr) return DECODE_ERR_ALLOC;
  d->buf.reset(new (std::nothrow) unsigned char[d->buf_size]);
  d->dctx = ZSTD_createDCtx();
  if (d->buf == nullptr || d->dctx == nullptr) {
    ZSTD_freeDCtx(d->dctx);
    return DECODE_ERR_ALLOC;
  }
  d->in = in;
  *decoder = d.release();
  return 0;
}

long zstd_decoder_read(ZstdDecoder* d, unsigned char* out, std::size_t capacity) {
  if (d == nullptr || out == nullptr || capacity == 0) return DECODE_ERR_NULL;
  ZSTD_outBuffer o{out, capacity, 0};
  for (;;) {
    if (d->input.pos == d->input.size && !std::feof(d->in)) {
      const std::size_t n = std::fread(d->buf.get(), 1, d->buf_size, d->in);
      if (n == 0 && std::ferror(d->in)) return DECODE_ERR_READ;
      d->input = ZSTD_inBuffer{d->buf.get(), n, 0};
    }
    const bool input_over = d->input.pos == d->input.size && std::feof(d->in);
    if (input_over && d->frame_done) return 0;
    const std::size_t hint = ZSTD_decompressStream(d->dctx, &o, &d->input);
    if (ZSTD_isError(hint)) {
      return ZSTD_getErrorCode(hint) == ZSTD_error_checksum_wrong ? DECODE_ERR_ZSTD_CHECK : DECODE_ERR_DATA;
    }
    d->frame_done = hint == 0;
    if (o.pos > 0) return static_cast<long>(o.pos);
    if (input_over) return d->frame_done ? 0 : DECODE_ERR_CUT;
  }
}

void zstd_decoder_close(ZstdDecoder* decoder) {
  if (decoder == nullptr) return;
  ZSTD_freeDCtx(decoder->dctx);
  delete decoder;
}

}  // namespace q4d
