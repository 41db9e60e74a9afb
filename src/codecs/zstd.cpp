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

Result compress_source(const char* path, std::FILE* source, std::FILE* out, ZSTD_CCtx* cctx, CompressBuffers& buf,
                       Failure* failure) {
  for (;;) {
    const std::size_t n = std::fread(buf.in.get(), 1, buf.in_size, source);
    if (n == 0 && std::ferror(source)) return fail(failure, ERR_READ, nullptr, errno);
    const ZSTD_EndDirective mode = n > 0 ? ZSTD_e_continue : ZSTD_e_end;  // an empty read ends the frame
    ZSTD_inBuffer in{buf.in.get(), n, 0};
    for (bool finished = false; !finished;) {
      ZSTD_outBuffer o{buf.out.get(), buf.out_size, 0};
      const std::size_t remaining = ZSTD_compressStream2(cctx, &o, &in, mode);
      if (ZSTD_isError(remaining)) return fail(failure, ERR_ALLOC);  // libzstd fails here only for want of memory
      if (std::fwrite(buf.out.get(), 1, o.pos, out) != o.pos) return fail(failure, ERR_WRITE, path, errno);
      finished = mode == ZSTD_e_end ? remaining == 0 : in.pos == in.size;
    }
    if (mode == ZSTD_e_end) return OK;
  }
}

}  // namespace

Result zstd_write_file(const char* path, std::FILE* source, int level, int workers, Failure* failure) {
  if (path == nullptr || source == nullptr) return fail(failure, ERR_NULL);
  long size = 0;
  std::FILE* out = nullptr;
  if (const Result started = start_compressed_file(path, source, &size, &out, failure); started != OK) return started;

  Result result = OK;
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) {
    result = fail(failure, ERR_ALLOC);
  } else if (!set_parameters(cctx, level, workers, static_cast<std::uint64_t>(size))) {
    result = fail(failure, ERR_ARGUMENT);
  } else {
    CompressBuffers buf;
    result = buf.ok() ? compress_source(path, source, out, cctx, buf, failure) : fail(failure, ERR_ALLOC);
  }
  ZSTD_freeCCtx(cctx);  // joins libzstd's workers; null is ignored
  return finish_compressed_file(path, out, result, failure);
}

struct ZstdDecoder {
  ByteSource source{};
  ZSTD_DCtx* dctx = nullptr;
  std::unique_ptr<unsigned char[]> buf;
  std::size_t buf_size = ZSTD_DStreamInSize();
  ZSTD_inBuffer input{nullptr, 0, 0};
  bool input_ended = false;  // the source has given its last byte
  bool frame_done = false;   // the last call completed a frame and flushed all of it
  ~ZstdDecoder() { ZSTD_freeDCtx(dctx); }
};

Result zstd_decoder_open(const ByteSource& source, ZstdDecoder** decoder) {
  if (source.read == nullptr || decoder == nullptr) return ERR_NULL;
  *decoder = nullptr;
  std::unique_ptr<ZstdDecoder> d(new (std::nothrow) ZstdDecoder);
  if (d == nullptr) return ERR_ALLOC;
  d->buf.reset(new (std::nothrow) unsigned char[d->buf_size]);
  d->dctx = ZSTD_createDCtx();
  if (d->buf == nullptr || d->dctx == nullptr) return ERR_ALLOC;
  d->source = source;
  *decoder = d.release();
  return OK;
}

Result zstd_decoder_open(std::FILE* in, ZstdDecoder** decoder, Failure* failure) {
  if (in == nullptr) return fail(failure, ERR_NULL);
  const Result opened = zstd_decoder_open(file_byte_source(in), decoder);
  return opened == OK ? OK : fail(failure, opened);
}

Result zstd_decoder_read(ZstdDecoder* d, unsigned char* out, std::size_t capacity, std::size_t* n, Failure* failure) {
  if (n != nullptr) *n = 0;
  if (d == nullptr || out == nullptr || capacity == 0 || n == nullptr) return fail(failure, ERR_NULL);
  ZSTD_outBuffer o{out, capacity, 0};
  for (;;) {
    if (d->input.pos == d->input.size && !d->input_ended) {
      std::size_t got = 0;
      const Result read = d->source.read(d->source.context, d->buf.get(), d->buf_size, &got, failure);
      if (read != OK) return read;
      d->input = ZSTD_inBuffer{d->buf.get(), got, 0};
      d->input_ended = got == 0;
    }
    const bool input_over = d->input.pos == d->input.size && d->input_ended;
    if (input_over && d->frame_done) return OK;
    const std::size_t hint = ZSTD_decompressStream(d->dctx, &o, &d->input);
    if (ZSTD_isError(hint)) {
      switch (ZSTD_getErrorCode(hint)) {
        case ZSTD_error_checksum_wrong: return fail(failure, CODEC_ERR_CHECK);
        case ZSTD_error_memory_allocation: return fail(failure, ERR_ALLOC);
        default: return fail(failure, CODEC_ERR_DATA);
      }
    }
    d->frame_done = hint == 0;
    if (o.pos > 0) {
      *n = o.pos;
      return OK;
    }
    if (input_over) return d->frame_done ? OK : fail(failure, CODEC_ERR_CUT);
  }
}

void zstd_decoder_close(ZstdDecoder* decoder) { delete decoder; }

}  // namespace q4d
