#include "encoder/fen4_batch.h"

#include <new>
#include <vector>

#include "position/fen4.h"
#include "position/piece_list.h"

namespace q4d {
namespace {

// Boards encoded at once: 2 MiB, enough for every thread to stay busy while
// the calling thread waits for the slowest board.
constexpr std::size_t CHUNK = 256;

}  // namespace

Result encode_fen4_batch(EncoderPool* pool, const char* const* texts, const std::size_t* lengths, std::size_t n,
                         void* out, EncodingFormat format, Failure* failure) {
  if (pool == nullptr) return fail(failure, ERR_NULL);
  if (format.dtype != DTYPE_FLOAT32 && format.dtype != DTYPE_BFLOAT16) return fail(failure, ERR_ARGUMENT);
  if (n == 0) return OK;
  if (texts == nullptr || lengths == nullptr || out == nullptr) return fail(failure, ERR_NULL);
  auto* bytes = static_cast<unsigned char*>(out);
  const std::size_t stride = encoding_bytes(format.dtype);
  try {
    // Kept from call to call: fresh pages for 2 MiB of boards would cost more
    // than parsing them.
    thread_local std::vector<Board4D> boards;
    boards.resize(CHUNK + 1);
    Board4D* const parsed_beyond = &boards[CHUNK];
    // Parse everything before encoding anything: the first chunk straight
    // into its boards, the rest kept as piece lists until its turn.
    std::vector<PieceWord> pieces;
    std::vector<std::size_t> starts{0};
    std::vector<PieceWord> one;
    for (std::size_t k = 0; k < n; ++k) {
      if (texts[k] == nullptr) return fail(failure, ERR_NULL);
      Board4D* board = k < CHUNK ? &boards[k] : parsed_beyond;
      if (const Result parsed = parse_fen4_text(texts[k], lengths[k], board); parsed != OK) {
        (void)fail(failure, parsed);
        if (failure != nullptr) {
          failure->index = static_cast<std::int64_t>(k);
          failure->fen4_error = parsed;
        }
        return parsed;
      }
      if (k < CHUNK) continue;
      compact_board(*board, &one);
      pieces.insert(pieces.end(), one.begin(), one.end());
      starts.push_back(pieces.size());
    }
    for (std::size_t first = 0; first < n; first += CHUNK) {
      const std::size_t m = n - first < CHUNK ? n - first : CHUNK;
      for (std::size_t k = 0; first > 0 && k < m; ++k) {
        const std::size_t at = starts[first - CHUNK + k];
        expand_board(pieces.data() + at, starts[first - CHUNK + k + 1] - at, &boards[k]);
      }
      if (const Result r = encoder_pool_encode(pool, boards.data(), m, bytes + first * stride, format); r != OK) {
        return fail(failure, r);
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(failure, ERR_ALLOC);
  }
  return OK;
}

}  // namespace q4d
