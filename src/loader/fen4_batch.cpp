#include "loader/fen4_batch.h"

#include <new>
#include <vector>

#include "position/piece_list.h"
#include "position/fen4.h"

namespace q4d {
namespace {

// Boards encoded at once: 2 MiB, enough for every thread to stay busy while
// the calling thread waits for the slowest board.
constexpr std::size_t CHUNK = 256;

}  // namespace

int encode_fen4_batch(EncoderPool* pool, const char* const* texts, const std::size_t* lengths, std::size_t n,
                      float* out, std::size_t* bad_index, int* fen4_error) {
  if (pool == nullptr || bad_index == nullptr || fen4_error == nullptr) return FEN4_BATCH_ERR_NULL;
  if (n == 0) return FEN4_BATCH_OK;
  if (texts == nullptr || lengths == nullptr || out == nullptr) return FEN4_BATCH_ERR_NULL;
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
      if (texts[k] == nullptr) return FEN4_BATCH_ERR_NULL;
      Board4D* board = k < CHUNK ? &boards[k] : parsed_beyond;
      const int parsed = parse_fen4_text(texts[k], lengths[k], board);
      if (parsed != OK) {
        *bad_index = k;
        *fen4_error = parsed;
        return FEN4_BATCH_ERR_FEN4;
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
      if (encoder_pool_encode(pool, boards.data(), m, out + first * ENCODING_DIM) != POOL_OK) return FEN4_BATCH_ERR_NULL;
    }
  } catch (const std::bad_alloc&) {
    return FEN4_BATCH_ERR_ALLOC;
  }
  return FEN4_BATCH_OK;
}

}  // namespace q4d
