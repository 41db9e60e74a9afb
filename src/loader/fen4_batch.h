// Encoding a batch of FEN4 texts on a pool of threads.
#pragma once

#include <cstddef>

#include "encoder/encoder_pool.h"

namespace q4d {

enum Fen4BatchResult {
  FEN4_BATCH_OK = 0,
  FEN4_BATCH_ERR_NULL = -1,
  FEN4_BATCH_ERR_FEN4 = -2,   // a text does not parse: *bad_index and *fen4_error say which and why
  FEN4_BATCH_ERR_ALLOC = -3,
};

// Encodes texts[0 .. n) (lengths[k] bytes each, a NUL after them, as
// parse_fen4_text reads them) into out, ENCODING_DIM floats per text, on the
// pool's threads. Every text is parsed before anything is written, so after
// an error `out` is untouched. Memory beyond the output: 257 boards (2 MiB)
// kept by each calling thread, and 4 bytes per piece of the texts after the
// first 256.
int encode_fen4_batch(EncoderPool* pool, const char* const* texts, const std::size_t* lengths, std::size_t n,
                      float* out, std::size_t* bad_index, int* fen4_error);

}  // namespace q4d
