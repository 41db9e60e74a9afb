// The sources a loader reads: packed datasets, NDJSON4 ply logs and frame
// containers, each seen as a list of units with what the loader needs to
// order, shard, filter and read them. Positions are read into the columns of
// a PackBlock whatever the format, so the rest of the loader has one record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "dataset/pack_reader.h"
#include "position/board.h"
#include "position/ply_log.h"

namespace q4d {

struct ContainerReader;

enum SourceKind { SOURCE_PACK, SOURCE_LOG, SOURCE_CONTAINER };

enum SplitPart { SPLIT_ALL = 0, SPLIT_TRAIN = 1, SPLIT_VAL = 2 };

// Which positions an epoch keeps. Decisions are pure functions of the
// position (and the seed, for keep_fraction), never of the order or the shard.
struct PositionFilter {
  std::int64_t min_ply = -1;  // -1: no bound
  std::int64_t max_ply = -1;
  std::int64_t min_pieces = -1;
  std::int64_t max_pieces = -1;
  double keep_fraction = 1.0;              // by a hash of the seed and the position's identity
  std::vector<std::string> required_keys;  // present (not NaN)
  SplitPart split = SPLIT_ALL;             // by a hash of the game's identity
  // Identities: packs, the input's name and the position's line in it, and
  // the game's place among that input's games; logs, the line's text and the
  // file's name (a file is one game); containers, the file's name and the
  // frame's place.
  double val_fraction = 0.0;
};

struct SourceFile {
  std::string path;
  std::uint64_t bytes = 0;
  std::uint64_t identity = 0;  // a hash of the file's path, for keep and split decisions
  PackReader* pack = nullptr;
  std::vector<int> required;   // the pack's key columns that must be present
  // A pack's positions are known by where they came from, so that keep and
  // split decisions survive renaming the pack or packing the games anew:
  // per input, a hash of its path and the pack's number of its first game.
  std::vector<std::uint64_t> input_identity;
  std::vector<std::uint64_t> input_first_game;  // UINT64_MAX until a block of it is read
};

// Part of a source read as one piece: a pack block, a whole container, a
// log file or a byte range of one.
struct SourceUnit {
  std::uint32_t file = 0;
  std::uint32_t block = 0;
  std::int64_t begin = 0;
  std::int64_t end = -1;      // -1: to the end of the file
  std::uint64_t count = 0;    // positions kept, when the source is counted
  std::uint64_t bytes = 0;
};

struct Source {
  SourceKind kind = SOURCE_LOG;
  std::vector<SourceFile> files;
  std::vector<SourceUnit> units;
  bool counted = false;       // every unit's count is known: shards split by count
  std::uint64_t total = 0;    // positions kept in all, when counted
  std::vector<std::string> keys;  // the named labels (packs)
  PositionFilter filter;
  std::uint64_t seed = 0;
};

// Opens every path of one source (all of one format), reads their indexes or
// headers and, for packs with a filter, counts the positions each block
// keeps. A source that is no format the loader reads, mixes formats, or
// keeps no position fails with LOADER_ERR_SOURCE or LOADER_ERR_EMPTY.
// On failure the source holds nothing open.
Result source_open(const std::vector<std::string>& paths, const PositionFilter& filter, std::uint64_t seed,
                   Source* source, Failure* failure);

// The units of a source for a layout of `n_shards`: its own, except that a
// log source with fewer files than shards has each file cut into as many
// byte ranges as there are shards, so that every shard has a share.
void source_units(const Source& source, std::uint32_t n_shards, std::vector<SourceUnit>* units);
void source_close(Source* source);

// A pack block's kept positions into `kept` (indexes into the block).
void pack_block_kept(const Source& source, std::uint32_t file, const PackBlock& block, std::vector<std::uint32_t>* kept);

// Reads a log unit or a container position by position, keeping what the
// filter keeps. A log line's identity, for keep_fraction, is a hash of its
// text: the same wherever the line is read from.
struct UnitReader {
  const Source* source = nullptr;
  SourceUnit unit;
  bool open = false;
  PlyLogReader* log = nullptr;
  ContainerReader* container = nullptr;
  std::uint64_t frame = 0;      // container: frames read
  std::unique_ptr<Board4D> board = std::make_unique<Board4D>();
  std::vector<PieceWord> pieces;
  std::uint64_t lines_too_long = 0;
  std::uint64_t fen4_errors = 0;
  // (file, range start): the positions before a log range, counted once for
  // lines that give no ply, and not again each epoch.
  std::map<std::pair<std::uint32_t, std::int64_t>, std::uint32_t> positions_before;
};

Result unit_reader_open(UnitReader* reader, const Source* source, const SourceUnit& unit, Failure* failure);
void unit_reader_close(UnitReader* reader);

// The next kept position of a log unit appended to `block` (its columns, as
// a pack's), or with `block` null only counted: OK, END or a failure.
Result unit_reader_next_log(UnitReader* reader, PackBlock* block, Failure* failure);

// The next kept frame of a container unit into `values` (null: skipped) and
// `trailer`: OK, END or a failure.
Result unit_reader_next_frame(UnitReader* reader, float* values, PlyTrailer* trailer, Failure* failure);

void pack_block_clear(PackBlock* block);

}  // namespace q4d
