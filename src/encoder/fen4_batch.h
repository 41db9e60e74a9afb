// Encoding a batch of FEN4 texts on a pool of threads.
#pragma once

#include <cstddef>

#include "base/result.h"
#include "encoder/encoder_pool.h"

namespace q4d {

// Encodes texts[0 .. n) (lengths[k] bytes each, a NUL after them, as
// parse_fen4_text reads them) into `out` as encoder_pool_encode does with
// `format`. Every text is parsed before anything is written, so after a
// failure `out` is untouched. A text that does not parse gives its FEN4
// result, with failure->index saying which text and failure->fen4_error the
// same code; ERR_NULL for an absent argument or text, ERR_ALLOC when memory
// runs out. Memory beyond the output: 257 boards (2 MiB) kept by each calling
// thread, and 4 bytes per piece of the texts after the first 256.
Result encode_fen4_batch(EncoderPool* pool, const char* const* texts, const std::size_t* lengths, std::size_t n,
                         void* out, EncodingFormat format, Failure* failure);

}  // namespace q4d
