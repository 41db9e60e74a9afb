#include "base/result.h"

#include <iterator>

namespace q4d {
namespace {

constexpr ResultInfo RESULTS[] = {
    {OK, "OK", "ok"},
    {ERR_NULL, "ERR_NULL", "absent argument"},
    {FEN4_ERR_PREFIX, "FEN4_ERR_PREFIX", "missing \"4d-fen v1:\" prefix"},
    {FEN4_ERR_PIECE, "FEN4_ERR_PIECE", "bad piece token"},
    {FEN4_ERR_COORD, "FEN4_ERR_COORD", "bad coordinates"},
    {FEN4_ERR_DUPLICATE, "FEN4_ERR_DUPLICATE", "square given twice"},
    {FEN4_ERR_SEPARATOR, "FEN4_ERR_SEPARATOR", "expected \";\" or the end after an entry"},
    {END, "END", "no more data"},
    {ERR_ALLOC, "ERR_ALLOC", "out of memory"},
    {ERR_ARGUMENT, "ERR_ARGUMENT", "invalid argument"},
    {ERR_THREADS, "ERR_THREADS", "cannot start threads"},
    {ERR_OPEN, "ERR_OPEN", "cannot open the file"},
    {ERR_CREATE, "ERR_CREATE", "cannot create the output"},
    {ERR_READ, "ERR_READ", "read error"},
    {ERR_WRITE, "ERR_WRITE", "write failed"},
    {ERR_SEEK, "ERR_SEEK", "cannot position the stream"},
    {ERR_CLOSE, "ERR_CLOSE", "writing the end of the output failed"},
    {ERR_TMPFILE, "ERR_TMPFILE", "cannot create or write a temporary file"},
    {ERR_NOT_REGULAR, "ERR_NOT_REGULAR", "not a regular file"},
    {ERR_INTERRUPTED, "ERR_INTERRUPTED", "interrupted"},
    {ERR_RENAME, "ERR_RENAME", "cannot rename the finished output into place"},
    {KEY_ABSENT, "KEY_ABSENT", "key absent"},
    {KEY_NO_VALUE, "KEY_NO_VALUE", "key without a readable value"},
    {PLY_LOG_TOO_LONG, "PLY_LOG_TOO_LONG", "FEN4 string too long"},
    {PLY_LOG_BAD_FEN4, "PLY_LOG_BAD_FEN4", "FEN4 string does not parse"},
    {PLY_LOG_METADATA, "PLY_LOG_METADATA", "metadata line"},
    {PAUSED, "PAUSED", "paused; call again"},
    {CODEC_ERR_HEADER, "CODEC_ERR_HEADER", "malformed gzip header"},
    {CODEC_ERR_DATA, "CODEC_ERR_DATA", "corrupt compressed data"},
    {CODEC_ERR_CUT, "CODEC_ERR_CUT", "compressed data cut short"},
    {CODEC_ERR_CHECK, "CODEC_ERR_CHECK", "checksum of the compressed data does not match"},
    {FIXTURE_ERR_NOT_FOUND, "FIXTURE_ERR_NOT_FOUND", "fixture not found"},
    {FIXTURE_ERR_NO_PIECES, "FIXTURE_ERR_NO_PIECES", "the fixture has no \"pieces\" object"},
    {FIXTURE_ERR_MALFORMED, "FIXTURE_ERR_MALFORMED", "malformed pieces object"},
    {CONTAINER_ERR_SHORT_HEADER, "CONTAINER_ERR_SHORT_HEADER", "too short for a 256-byte header"},
    {CONTAINER_ERR_MAGIC, "CONTAINER_ERR_MAGIC", "not a container (wrong magic)"},
    {CONTAINER_ERR_VERSION, "CONTAINER_ERR_VERSION", "container version is neither 3 nor 4"},
    {CONTAINER_ERR_FRAME_SIZE, "CONTAINER_ERR_FRAME_SIZE", "frame_size does not match encoding_dim"},
    {CONTAINER_ERR_DIMENSION, "CONTAINER_ERR_DIMENSION", "frames are not 180238 bytes"},
    {CONTAINER_ERR_CUT_SHORT, "CONTAINER_ERR_CUT_SHORT", "fewer frames than the header counts"},
    {CONTAINER_ERR_TRAILING, "CONTAINER_ERR_TRAILING", "bytes after the last frame"},
    {CONTAINER_ERR_FRAME, "CONTAINER_ERR_FRAME", "frame incomplete"},
    {CONTAINER_ERR_COUNT, "CONTAINER_ERR_COUNT", "frames written differ from the count in the header"},
    {PACK_ERR_MAGIC, "PACK_ERR_MAGIC", "not a packed dataset"},
    {PACK_ERR_VERSION, "PACK_ERR_VERSION", "packed dataset of a version this build does not read"},
    {PACK_ERR_FOOTER, "PACK_ERR_FOOTER", "no index at the end of the file (cut short, or never finished)"},
    {PACK_ERR_INDEX, "PACK_ERR_INDEX", "damaged index"},
    {PACK_ERR_BLOCK_CHECKSUM, "PACK_ERR_BLOCK_CHECKSUM", "damaged block: checksum does not match"},
    {PACK_ERR_BLOCK_SIZE, "PACK_ERR_BLOCK_SIZE", "damaged block: not the size its index declares"},
    {PACK_ERR_BLOCK_CONTENT, "PACK_ERR_BLOCK_CONTENT", "damaged block: its content is inconsistent"},
    {PACK_ERR_OUTPUT_IS_INPUT, "PACK_ERR_OUTPUT_IS_INPUT", "the output is one of the inputs"},
    {PACK_ERR_INPUT_TWICE, "PACK_ERR_INPUT_TWICE", "an input is given twice"},
    {PACK_ERR_SHRUNK, "PACK_ERR_SHRUNK", "the file has been cut short since it was opened"},
    {LOADER_ERR_SOURCE, "LOADER_ERR_SOURCE", "not a packed dataset, an NDJSON4 ply log or a frame container"},
    {LOADER_ERR_EMPTY, "LOADER_ERR_EMPTY", "the source holds no position"},
    {LOADER_ERR_MIXED, "LOADER_ERR_MIXED", "the files of one source are not all of one format"},
    {LOADER_ERR_KEY, "LOADER_ERR_KEY", "a required key is not among the source's labels"},
    {LOADER_ERR_FILTER, "LOADER_ERR_FILTER", "a container holds no pieces or plies to filter on"},
    {LOADER_ERR_STATE, "LOADER_ERR_STATE", "a saved loader state that does not fit the stream"},
    {LOADER_ERR_MIX_LAYOUT, "LOADER_ERR_MIX_LAYOUT", "a mix of sources cannot change its shard layout within an epoch"},
    {LOADER_ERR_WEIGHTS, "LOADER_ERR_WEIGHTS", "the weights of a mix are more than 2^32 apart"},
    {LOADER_ERR_THREADS, "LOADER_ERR_THREADS", "threads above the shared pool's limit"},
    {LOADER_ERR_DUPLICATE, "LOADER_ERR_DUPLICATE", "the same file is given twice in one source"},
    {LOADER_ERR_MIX_LOG, "LOADER_ERR_MIX_LOG", "a mix reads packed datasets and containers, not logs"},
};

}  // namespace

const ResultInfo* result_table(int* n) {
  if (n != nullptr) *n = static_cast<int>(std::size(RESULTS));
  return RESULTS;
}

const char* result_name(int result) {
  for (const ResultInfo& r : RESULTS) {
    if (r.result == result) return r.words;
  }
  return "unknown result";
}

Result fail(Failure* failure, Result result, const char* path, int error_number) {
  if (failure != nullptr) {
    *failure = Failure{};
    failure->result = result;
    if (path != nullptr) failure->path = path;
    failure->error_number = error_number;
  }
  return result;
}

}  // namespace q4d
