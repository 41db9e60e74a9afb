#include "loader/fen4_batch.h"

#include <memory>
#include <new>
#include <vector>

#include "loader/compact_position.h"
#include "position/fen4.h"

namespace q4d {
namespace {

// Boards expanded at once: 2 MiB, enough for every thread to stay busy while
// the calling thread waits for the slowest board.
constexpr std::size_t CHUNK = 256;

}  // namespace

int encode_fen4_batch(EncoderPool* pool, const char* const* texts, const std::size_t* lengths, std::size_t n,
                      float* out, std::size_t* bad_index, int* fen4_error) {
  if (pool == nullptr || bad_index == nullptr || fen4_error == nullptr) return FEN4_BATCH_ERR_NULL;
  if (n == 0) return FEN4_BATCH_OK;
  if (texts == nullptr || lengths == nullptr || out == nullptr) return FEN4_BATCH_ERR_NULL;
  try {
    // Parse everything first, keeping each position's pieces.
    std::vector<PieceWord> pieces;
    std::vector<std::size_t> starts(n + 1, 0);
    std::vector<PieceWord> one;
    const std::size_t chunk = n < CHUNK ? n : CHUNK;
    std::unique_ptr<Board4D[]> boards(new Board4D[chunk]);
    for (std::size_t k = 0; k < n; ++k) {
      if (texts[k] == nullptr) return FEN4_BATCH_ERR_NULL;
      const int parsed = parse_fen4_text(texts[k], lengths[k], &boards[0]);
      if (parsed != FEN4_OK) {
        *bad_index = k;
        *fen4_error = parsed;
        return FEN4_BATCH_ERR_FEN4;
      }
      compact_board(boards[0], &one);
      pieces.insert(pieces.end(), one.begin(), one.end());
      starts[k + 1] = pieces.size();
    }
    for (std::size_t first = 0; first < n; first += chunk) {
      const std::size_t m = n - first < chunk ? n - first : chunk;
      for (std::size_t k = 0; k < m; ++k) {
        const std::size_t at = starts[first + k];
        expand_board(pieces.data() + at, starts[first + k + 1] - at, &boards[k]);
      }
      if (encoder_pool_encode(pool, boards.get(), m, out + first * ENCODING_DIM) != POOL_OK) return FEN4_BATCH_ERR_NULL;
    }
  } catch (const std::bad_alloc&) {
    return FEN4_BATCH_ERR_ALLOC;
  }
  return FEN4_BATCH_OK;
}

}  // namespace q4d
