// Packing ply logs into a packed dataset (docs/PACK_FORMAT.md): `pack` and
// the Python package's pack() write through pack_write.
//
// Every input is read as `encode` reads it (plain, gzip or zstd, "-" for
// standard input; the same lines accepted, skipped and reported). Each
// position keeps its pieces, its trailer, the move played from it (the next
// position line's move in the same game, unless a skipped line lies between
// them or both give plies that are not one apart), its game, its input and line, and the
// named keys: per-ply keys from its own line, per-game keys from the game's
// metadata line (the last line naming bridge_version before it in the same
// input); a value that is missing is NaN. A game is the positions between two
// metadata lines of an input, or between one and the input's end.
//
// The output is written under a temporary name in its own folder and renamed
// into place once complete and flushed to the disk: a pack that stops half
// way leaves no file that reads as a dataset. Lines are parsed and blocks
// compressed on `threads` threads of a TaskPool (at most
// task_pool_thread_limit() are started); the bytes never depend on their number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../base/result.h"  // public headers include each other by relative path

namespace q4d {

inline constexpr int PACK_ZSTD_LEVEL_DEFAULT = 3;
inline constexpr int PACK_ZSTD_LEVEL_MIN = 1;
inline constexpr int PACK_ZSTD_LEVEL_MAX = 19;
inline constexpr int PACK_THREADS_MAX = 1024;

struct PackWriteOptions {
  std::vector<std::string> keys;       // per-ply numeric keys, each from its position's line
  std::vector<std::string> game_keys;  // per-game numeric keys, from the game's metadata line
  int threads = 1;                     // 0: one per available processor
  int zstd_level = PACK_ZSTD_LEVEL_DEFAULT;
  std::uint32_t block_positions = 0;   // > 0: at most this many positions a block (small blocks, for tests)
};

// What pack_write reports while it runs; either function may be null. A
// function that returns anything but OK stops the packing with that result
// (ERR_INTERRUPTED, say), and nothing is left behind.
struct PackEvents {
  void* context = nullptr;
  // A line skipped with a word, as encode reports it, in input order:
  // skipped.result is PLY_LOG_TOO_LONG or PLY_LOG_BAD_FEN4 (fen4_error set),
  // with the input's path and the line.
  Result (*line_skipped)(void* context, const Failure& skipped) = nullptr;
  // Now and then (a few times a second at most, and whenever an input keeps
  // the packer waiting): the positions packed so far.
  Result (*progress)(void* context, std::uint64_t positions) = nullptr;
};

struct PackSummary {
  std::uint64_t positions = 0;
  std::uint64_t games = 0;
  std::uint32_t blocks = 0;
  std::uint64_t lines_skipped = 0;  // reported through line_skipped
  std::uint64_t bytes = 0;          // of the output
};

// Packs `inputs`, in order, into `output`. Failures: ERR_NULL; ERR_ARGUMENT
// (no input; a key name that is empty, longer than 60 bytes, holds a quote
// or a backslash, is given twice or is the name of a label every pack has:
// ply, move_from, move_to, promo, flags, next_move_from, next_move_to,
// next_promo, has_move, has_next_move, game, input, line, or of one the
// loader adds to a batch: source, loader_state; more than 64 keys; a zstd
// level or a thread count out of range); PACK_ERR_OUTPUT_IS_INPUT (the output
// is an existing input file under any name, or standard input's, named in the
// failure's path) and PACK_ERR_INPUT_TWICE (an input that is the same file as
// an earlier one, named likewise), both before anything is written;
// ERR_THREADS, ERR_ALLOC; an input that cannot be
// opened or read (ERR_OPEN, ERR_READ, CODEC_ERR_*, with its path); ERR_CREATE,
// ERR_WRITE, ERR_RENAME for the output, and ERR_NOT_REGULAR for an output
// that exists but is no regular file (a device, a FIFO, a folder; a symbolic
// link to a regular file is followed); whatever an event function returned.
Result pack_write(const std::vector<std::string>& inputs, const char* output, const PackWriteOptions& options,
                  const PackEvents* events, PackSummary* summary, Failure* failure);

}  // namespace q4d
