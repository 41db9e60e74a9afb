// The library's one result space: every function that can fail returns a
// Result, 0 for success and a distinct negative value for each failure, so a
// number means the same thing wherever it comes from. result_name puts any
// value into words; none prints, none throws.
//
// The values are grouped by the layer that first reports them, in ranges that
// leave room to grow. Two groups are fixed by what the program prints: -1 is
// always an absent argument, and the FEN4 parser's codes are -2 to -6 ("FEN4
// parse error -3 at line 9").
#pragma once

#include <cstdint>
#include <string>

namespace q4d {

// The first value of each group; a group runs down to just above the next
// one's first (RESULTS_END closes the last).
inline constexpr int RESULTS_SYSTEM = -8;
inline constexpr int RESULTS_TEXT = -30;
inline constexpr int RESULTS_FRAMES = -50;
inline constexpr int RESULTS_PACK = -80;
inline constexpr int RESULTS_LOADER = -110;
inline constexpr int RESULTS_END = -140;

enum [[nodiscard]] Result : int {
  OK = 0,
  ERR_NULL = -1,  // an argument is absent

  // FEN4 text (position/fen4.h)
  FEN4_ERR_PREFIX = -2,     // "4d-fen v1:" missing after leading whitespace
  FEN4_ERR_PIECE = -3,      // bad piece token, or no "@" after it
  FEN4_ERR_COORD = -4,      // coordinate group is not d,d,d,d with digits 0..7
  FEN4_ERR_DUPLICATE = -5,  // the square already holds a piece of this text
  FEN4_ERR_SEPARATOR = -6,  // after an entry, neither ";" nor the end

  // Not a failure: a reader has given everything it has (lines, frames,
  // positions, batches).
  END = -7,

  // The system (-8 .. -29): the context says which file and errno.
  ERR_ALLOC = -8,         // out of memory
  ERR_ARGUMENT = -9,      // an option or argument out of its range
  ERR_THREADS = -10,      // threads could not be started
  ERR_OPEN = -11,         // a file cannot be opened for reading
  ERR_CREATE = -12,       // an output file cannot be created
  ERR_READ = -13,         // a read error
  ERR_WRITE = -14,        // a short write (a full disk, often)
  ERR_SEEK = -15,         // a stream cannot be positioned
  ERR_CLOSE = -16,        // an output's last bytes could not be written
  ERR_TMPFILE = -17,      // no temporary file, or its space ran out
  ERR_NOT_REGULAR = -18,  // a path that must be a regular file is not (a folder, a FIFO, a device)
  ERR_INTERRUPTED = -19,  // a signal asked a long operation to stop
  ERR_RENAME = -20,       // a finished output could not be renamed into place

  // Text inputs: key scans, ply logs, fixture files (RESULTS_TEXT = -30 .. -49),
  // and the compressed streams they may come in.
  KEY_ABSENT = -30,         // the key does not occur in the line
  KEY_NO_VALUE = -31,       // the key is there but its value is not of the kind asked for
  PLY_LOG_TOO_LONG = -32,   // a line's fen4 string does not fit FEN4_BUF_SIZE; the line is skipped
  PLY_LOG_BAD_FEN4 = -33,   // a line's fen4 string does not parse; the line is skipped
  PLY_LOG_METADATA = -34,   // not a failure: a metadata line, reported when asked for
  PAUSED = -35,             // not a failure: a reader stopped early so that its caller can look for signals; call again
  CODEC_ERR_HEADER = -36,   // a malformed gzip header
  CODEC_ERR_DATA = -37,     // corrupt compressed data
  CODEC_ERR_CUT = -38,      // the compressed data ends before its stream does
  CODEC_ERR_CHECK = -39,    // a checksum or length of the compressed data does not match its content
  FIXTURE_ERR_NOT_FOUND = -40,  // no line of the fixture file names the fixture
  FIXTURE_ERR_NO_PIECES = -41,  // the named line has no "pieces" object
  FIXTURE_ERR_MALFORMED = -42,  // the pieces object does not follow its rules

  // Frame files: containers (RESULTS_FRAMES = -50 .. -79).
  CONTAINER_ERR_SHORT_HEADER = -50,  // fewer than the 256 bytes of a header
  CONTAINER_ERR_MAGIC = -51,         // not a container: the first 8 bytes are not the magic
  CONTAINER_ERR_VERSION = -52,       // a version other than 3 or 4
  CONTAINER_ERR_FRAME_SIZE = -53,    // frame_size != encoding_dim * 4 + 14
  CONTAINER_ERR_DIMENSION = -54,     // a consistent header of another encoding: frames not 180238 bytes
  CONTAINER_ERR_CUT_SHORT = -55,     // fewer complete frames than the header counts
  CONTAINER_ERR_TRAILING = -56,      // bytes after the last frame the header counts
  CONTAINER_ERR_FRAME = -57,         // this frame is incomplete: the container ends inside it
  CONTAINER_ERR_COUNT = -58,         // frames written to a stream differ from the count its header gave

  // Packed datasets (RESULTS_PACK = -80 .. -109): the context names the file, and the block.
  PACK_ERR_MAGIC = -80,           // not a packed dataset
  PACK_ERR_VERSION = -81,         // a version this build does not read
  PACK_ERR_FOOTER = -82,          // no intact footer at the end: cut short, or never finished
  PACK_ERR_INDEX = -83,           // the index fails its checksum, or disagrees with the file
  PACK_ERR_BLOCK_CHECKSUM = -84,  // a block's bytes fail their checksum
  PACK_ERR_BLOCK_SIZE = -85,      // a block does not decompress to the size its index declares
  PACK_ERR_BLOCK_CONTENT = -86,   // a block's content disagrees with itself or with the index
  PACK_ERR_OUTPUT_IS_INPUT = -87,  // packing: the output is one of the inputs (the context names it)
  PACK_ERR_INPUT_TWICE = -88,      // packing: an input is given twice, under any name (the context names it)
  PACK_ERR_SHRUNK = -89,           // the file is shorter than when it was opened (cut while in use)

  // The loader and its sources (RESULTS_LOADER = -110 .. -139): the context names the file.
  LOADER_ERR_SOURCE = -110,     // not a packed dataset, an NDJSON4 ply log or a frame container
  LOADER_ERR_EMPTY = -111,      // the source holds no position (that the filters keep)
  LOADER_ERR_MIXED = -112,      // the files of one source are not all of one format
  LOADER_ERR_KEY = -113,        // a required key is not among the source's labels
  LOADER_ERR_FILTER = -114,     // a filter the source cannot apply (containers hold no pieces)
  LOADER_ERR_STATE = -115,      // a saved state that does not fit the stream (layout, sources, bounds)
  LOADER_ERR_MIX_LAYOUT = -116, // a mix of sources cannot change its shard layout within an epoch
  LOADER_ERR_WEIGHTS = -117,    // the weights of a mix are too far apart to count an epoch
  LOADER_ERR_THREADS = -118,    // more encoding threads than the shared pool takes
  LOADER_ERR_DUPLICATE = -119,  // the same file given twice in one source
  LOADER_ERR_MIX_LOG = -120,    // a mix reads packs and containers only: a log's length is not known ahead
};

// The meaning of a result in words ("out of memory", "bad piece token", ...);
// "unknown result" for a number that is none of the above.
const char* result_name(int result);

// Every result with its name in code ("FEN4_ERR_PIECE") and in words, in
// order of value from OK down: for the packages that export the results
// (the Python package's exceptions), so that no number is written twice.
struct ResultInfo {
  Result result;
  const char* name;
  const char* words;
};
const ResultInfo* result_table(int* n);

// What a caller needs beside a failure to report it: the file, what the
// system said, and where in the file. A function that can fail for a reason
// outside the caller's arguments (a file, the system) takes a `Failure*`,
// which may be null, as its last argument and fills it when it fails; a
// field that does not apply keeps its default.
struct Failure {
  Result result = OK;
  std::string path;            // the file involved
  int error_number = 0;        // errno, when the system gave one
  std::int64_t line = -1;      // line of a text input, from 1
  std::int64_t block = -1;     // block of a packed dataset, from 0
  std::int64_t index = -1;     // item of a batch, or position of a dataset, from 0
  int fen4_error = 0;          // the FEN4 code behind a line that does not parse
};

// Fills `failure` (when there is one) with `result` and `path` and returns
// `result`: `return fail(failure, ERR_OPEN, path, errno);`.
Result fail(Failure* failure, Result result, const char* path = nullptr, int error_number = 0);

}  // namespace q4d
