// NDJSON4 ply logs: one JSON object per line, one position per line, e.g.
//
//   {"ply": 3, "fen4": "4d-fen v1: K@0,0,0,4; k@7,7,7,4", "move_from": [1, 0, 0, 4],
//    "move_to": [2, 0, 0, 4], "promo": 0, "flags": 0}
//
// Lines are not parsed as JSON: each value is found by key and read with the
// tolerances of docs/NDJSON4_FORMAT.md. `encode`, `pack`, the loader and the
// Python package read ply logs through PlyLogReader, so all accept and skip
// the same lines and give the same trailers.
#pragma once

#include <cstdint>

#include "../base/result.h"  // public headers include each other by relative path
#include "board.h"
#include "ply_trailer.h"

namespace q4d {

inline constexpr int LINE_BUF_SIZE = 81920;  // longer lines are read, and counted, in pieces
inline constexpr int FEN4_BUF_SIZE = 65536;  // one FEN4 string and its NUL

struct PlyLogOptions {
  // Only the lines that start at a byte offset in [begin, end) of a plain
  // regular file (end -1: to its end), so that several readers share a file
  // without overlap: each line belongs to the range holding its first byte.
  // The default ply of a line is still its position in the whole file
  // (counted on demand).
  std::int64_t begin = 0;
  std::int64_t end = -1;
  // Stop at metadata lines too (lines that mention bridge_version, which
  // start a game), returning PLY_LOG_METADATA.
  bool metadata = false;
  // The positions in the lines before `begin`, when the caller knows them
  // (from ply_log_positions_before of an earlier reader of the same range):
  // spares counting them again. -1: counted when a line without ply needs it.
  std::int64_t positions_before = -1;
};

// A ply log read position by position from a file it owns: plain, gzip or
// zstd (recognised by its first bytes), or standard input for "-". Lines are
// read as fgets reads them into LINE_BUF_SIZE bytes: a longer line comes in
// pieces, each counted and handled as a line of its own. Lines without a
// readable fen4 string, and metadata lines, are passed over without a word.
struct PlyLogReader;

// Opens `path`. Nothing is read yet: a FIFO without a writer does not block.
// ERR_NULL, ERR_ARGUMENT (a range that ends before it begins), ERR_OPEN (with
// errno), ERR_ALLOC. A range on a file that cannot have one (compressed, a
// pipe) fails at the first read, with ERR_SEEK.
Result ply_log_open(const char* path, const PlyLogOptions& options, PlyLogReader** reader, Failure* failure);

// Reads lines up to the next position: OK, with the board, the trailer and
// ply_log_fen4 set. Or:
//   END                the file, or the range, has no more lines;
//   PLY_LOG_TOO_LONG   this line's fen4 string does not fit FEN4_BUF_SIZE,
//   PLY_LOG_BAD_FEN4   ... or does not parse (failure->fen4_error): the line,
//                      in failure->line, is skipped and the caller goes on;
//   PLY_LOG_METADATA   a metadata line, when the options ask for them;
//   PAUSED             nothing yet: a signal interrupted a read, or many
//                      lines held no position; the caller may look for
//                      signals, then calls again;
// or a failure of the file (ERR_READ, ERR_SEEK, CODEC_ERR_*), with its path.
Result ply_log_next(PlyLogReader* reader, Board4D* board, PlyTrailer* trailer, Failure* failure);

// The next line itself, NUL-terminated (a lookup sees it up to its first NUL
// byte), for callers that handle lines on their own (the packer parses them
// on several threads): OK, END, PAUSED or a failure of the file. It counts
// lines but not positions: a reader is read by one of the two functions.
Result ply_log_next_line(PlyLogReader* reader, const char** line, Failure* failure);

// After OK from ply_log_next: the position's FEN4 text.
const char* ply_log_fen4(const PlyLogReader* reader);

// The last line read, NUL-terminated (after ply_log_next: the position's or
// the metadata line).
const char* ply_log_line(const PlyLogReader* reader);

// The number of the last line read, from 1 at the start of the file or range.
std::uint64_t ply_log_line_number(const PlyLogReader* reader);

// After OK from ply_log_next: which trailer values the position's line gave
// (LINE_HAS_PLY | LINE_HAS_MOVE of position/ply_line.h).
unsigned ply_log_fields(const PlyLogReader* reader);

// The positions in the lines before the range, once counted (or given): OK,
// or END while not known.
Result ply_log_positions_before(const PlyLogReader* reader, std::uint32_t* count);

// Closes the file (unless it is standard input) and frees the reader. Null is ignored.
void ply_log_close(PlyLogReader* reader);

}  // namespace q4d
