// Reading a packed dataset: the positions of many games as piece lists in
// independently compressed, checksummed blocks, with their labels, and an
// index at the end of the file (docs/PACK_FORMAT.md has the bytes).
//
// Opening reads and checks only the index: the number of positions and
// games, the blocks with their offsets and sizes, the names of the labels and
// the input files. A block is read, checked and decompressed on demand, into
// a PackBlock the caller owns and reuses; nothing is decompressed beyond the
// sizes the index declares, nor beyond PACK_BLOCK_RAW_MAX and PACK_BLOCK_PIECES_MAX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../base/result.h"  // public headers include each other by relative path
#include "../position/piece_list.h"
#include "../position/ply_trailer.h"

namespace q4d {

// No block decompresses to more than this, whatever its index says, nor
// lists more pieces (over all its positions).
inline constexpr std::uint32_t PACK_BLOCK_RAW_MAX = 1u << 20;
inline constexpr std::uint32_t PACK_BLOCK_PIECES_MAX = 1u << 20;

// A move as a ply log gives it, stored as a container stores its trailer's.
struct PackMove {
  std::uint8_t from[4];  // x, y, z, w
  std::uint8_t to[4];
  std::uint8_t promo;
};

// Bits of PackBlock::move_flags. A move absent from the line reads as
// (0,0,0,0) -> (0,0,0,0), which is also a square: these say which is which.
inline constexpr std::uint8_t PACK_HAS_MOVE = 1;       // the line gave move_from and move_to (the trailer's move)
inline constexpr std::uint8_t PACK_HAS_NEXT_MOVE = 2;  // the game's next position line gave its move (next_moves)

struct PackBlockInfo {
  std::uint64_t offset = 0;          // of the block's stored bytes in the file
  std::uint32_t stored_size = 0;     // compressed, as stored
  std::uint32_t raw_size = 0;        // decompressed
  std::uint32_t n_positions = 0;
  std::uint64_t first_position = 0;  // index in the pack of the block's first position
};

struct PackKey {
  std::string name;
  bool per_game = false;  // from the game's metadata line (--game-key), else from each position's line (--key)
};

struct PackInfo {
  std::uint32_t version = 0;
  std::uint64_t n_positions = 0;
  std::uint64_t n_games = 0;
  std::vector<PackBlockInfo> blocks;
  std::vector<PackKey> keys;          // the named labels, in the order of PackBlock::keys' columns
  std::vector<std::string> inputs;    // the input files, as given to pack
};

// One block decoded, a column per field; position j of the block is entry j
// of each (its index in the pack is first_position + j).
struct PackBlock {
  std::uint32_t block = 0;
  std::uint64_t first_position = 0;
  std::uint32_t n_positions = 0;
  std::vector<std::uint32_t> piece_start;  // n_positions + 1 entries: position j's pieces are
  std::vector<PieceWord> pieces;           //   pieces[piece_start[j] .. piece_start[j + 1]), in square order
  std::vector<PlyTrailer> trailers;        // as `encode` writes them: the move that led to the position
  std::vector<PackMove> next_moves;        // the move played from the position (when PACK_HAS_NEXT_MOVE)
  std::vector<std::uint8_t> move_flags;    // PACK_HAS_MOVE | PACK_HAS_NEXT_MOVE
  std::vector<std::uint64_t> games;        // the game of each position, numbered in the pack from 0
  std::vector<std::uint32_t> inputs;       // index into PackInfo::inputs
  std::vector<std::uint32_t> lines;        // line in that input, from 1, as `encode` numbers it
  std::vector<float> keys;                 // n_positions x keys.size(), row by row; NaN where the line had none
};

struct PackReader;

// Opens `path` and reads and checks its index. On failure nothing stays open
// and *reader is null; `failure` names the file (and the block, when the
// index disagrees with one).
Result pack_open(const char* path, PackReader** reader, Failure* failure);

const PackInfo* pack_info(const PackReader* reader);

// Reads, checks and decompresses block k into `block` (its vectors are reused).
// Several threads may read blocks of one reader at once, each into its own
// PackBlock.
Result pack_read_block(PackReader* reader, std::uint32_t k, PackBlock* block, Failure* failure);

// The block that holds position `position` of the pack (which must be less
// than n_positions), found by bisection of the blocks' first positions.
std::uint32_t pack_block_of(const PackInfo& info, std::uint64_t position);

// Reads and checks every block: the first damaged one is the failure.
Result pack_verify(PackReader* reader, Failure* failure);

// Closes the file and frees the reader. Null is ignored.
void pack_close(PackReader* reader);

}  // namespace q4d
