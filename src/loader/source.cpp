#include "loader/source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "frames/container.h"
#include "frames/container_file.h"
#include "loader/shard_plan.h"
#include "position/piece_list.h"
#include "position/ply_line.h"

namespace q4d {
namespace {

// FNV-1a of a file's path as given (a leading "./" aside): logs of one name
// in different folders are different logs, and a dataset moved whole keeps its
// keep and split decisions when its files are named from its own folder.
std::uint64_t name_identity(const std::string& path) {
  std::size_t k = 0;
  while (path.compare(k, 2, "./") == 0) k += 2;
  std::uint64_t h = 0xCBF29CE484222325u;
  for (; k < path.size(); ++k) h = (h ^ static_cast<unsigned char>(path[k])) * 0x100000001B3u;
  return h;
}

std::uint64_t text_identity(const char* text) {
  std::uint64_t h = 0xCBF29CE484222325u;
  for (; *text != 0; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 0x100000001B3u;
  return h;
}

bool kept_by_hash(const PositionFilter& f, std::uint64_t seed, std::uint64_t file, std::uint64_t position,
                  std::uint64_t game) {
  if (f.split != SPLIT_ALL) {
    // Not seeded: the validation games stay the same whatever the seed.
    const bool val = unit_interval(hash_words({0x73706C6974u, file, game})) < f.val_fraction;
    if (val != (f.split == SPLIT_VAL)) return false;
  }
  return f.keep_fraction >= 1.0 || unit_interval(hash_words({seed, file, position})) < f.keep_fraction;
}

bool kept_by_value(const PositionFilter& f, std::uint32_t ply, std::size_t pieces) {
  const auto p = static_cast<std::int64_t>(pieces);
  return (f.min_ply < 0 || ply >= f.min_ply) && (f.max_ply < 0 || ply <= f.max_ply) &&
         (f.min_pieces < 0 || p >= f.min_pieces) && (f.max_pieces < 0 || p <= f.max_pieces);
}

bool filters(const PositionFilter& f) {
  return f.min_ply >= 0 || f.max_ply >= 0 || f.min_pieces >= 0 || f.max_pieces >= 0 || f.keep_fraction < 1.0 ||
         !f.required_keys.empty() || f.split != SPLIT_ALL;
}

enum FileKind { KIND_LOG, KIND_CONTAINER, KIND_COMPRESSED, KIND_OTHER };

// The size of a file that must be a regular one.
Result stat_regular(const std::string& path, std::uint64_t* bytes, Failure* failure) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return fail(failure, ERR_OPEN, path.c_str(), errno);
  if (!S_ISREG(st.st_mode)) return fail(failure, ERR_NOT_REGULAR, path.c_str());
  *bytes = static_cast<std::uint64_t>(st.st_size);
  return OK;
}

// A file named as a pack is one, and its reader says what is wrong with it.
bool named_pack(const std::string& path) {
  constexpr std::string_view suffix = ".q4pack";
  return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What the first bytes say: a container, compressed data (a container or a
// log: the container reader tells), a ply log (JSON lines), or something
// else (a pack, or nothing the loader reads).
FileKind kind_of(const std::string& path, Failure* failure, Result* result) {
  *result = OK;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *result = fail(failure, ERR_OPEN, path.c_str(), errno);
    return KIND_OTHER;
  }
  unsigned char head[8] = {};
  const std::size_t n = std::fread(head, 1, sizeof head, f);
  int c = 0;
  if (n > 0) {
    std::rewind(f);
    do c = std::fgetc(f);
    while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
  }
  std::fclose(f);
  if (n >= 8 && std::memcmp(head, CONTAINER_MAGIC, 8) == 0) return KIND_CONTAINER;
  if ((n >= 2 && head[0] == 0x1F && head[1] == 0x8B) || (n >= 4 && head[0] == 0x28 && head[1] == 0xB5 &&
                                                         head[2] == 0x2F && head[3] == 0xFD)) {
    return KIND_COMPRESSED;
  }
  if (c == '{' || (n == 0 && !named_pack(path))) return KIND_LOG;
  return KIND_OTHER;
}

Result open_file(const std::string& path, const PositionFilter& filter, Source* source, Failure* failure) {
  SourceFile file;
  file.path = path;
  file.identity = name_identity(path);
  const Result regular = stat_regular(path, &file.bytes, failure);
  if (regular != OK) return regular;
  if (!source->files.empty() && source->kind == SOURCE_LOG) {
    // Logs after the first are opened only by the shard that reads them,
    // which checks what they are then.
    if (!filter.required_keys.empty()) return fail(failure, LOADER_ERR_KEY, path.c_str());
    source->units.push_back({static_cast<std::uint32_t>(source->files.size()), 0, 0, -1, 0, file.bytes});
    source->files.push_back(file);
    return OK;
  }
  Result sniffed = OK;
  const FileKind kind = kind_of(path, failure, &sniffed);
  if (sniffed != OK) return sniffed;
  SourceKind as = SOURCE_LOG;
  std::uint64_t frames = 0;
  if (kind == KIND_CONTAINER || kind == KIND_COMPRESSED) {
    ContainerReader* reader = nullptr;
    ContainerReadOptions options;
    options.verify = true;
    Failure why;
    const Result opened = container_reader_open(path.c_str(), options, &reader, &why);
    if (opened == OK) {
      frames = container_reader_info(reader)->header.n_frames;
      container_reader_close(reader);
      as = SOURCE_CONTAINER;
    } else if (kind != KIND_COMPRESSED || (opened != CONTAINER_ERR_MAGIC && opened != CONTAINER_ERR_SHORT_HEADER)) {
      if (failure != nullptr) *failure = why;  // a container, damaged
      return opened;
    }  // else a compressed log
  } else if (kind == KIND_OTHER) {
    const Result opened = pack_open(path.c_str(), &file.pack, failure);
    if (opened == PACK_ERR_MAGIC && !named_pack(path)) return fail(failure, LOADER_ERR_SOURCE, path.c_str());
    if (opened != OK) return opened;  // a pack, damaged: the reader's failure
    as = SOURCE_PACK;
  }
  if (!source->files.empty() && as != source->kind) {
    pack_close(file.pack);
    return fail(failure, LOADER_ERR_MIXED, path.c_str());
  }
  source->kind = as;
  const auto index = static_cast<std::uint32_t>(source->files.size());
  source->files.push_back(file);
  SourceFile& f = source->files.back();
  if (as == SOURCE_PACK) {
    const PackInfo* info = pack_info(f.pack);
    for (const std::string& name : filter.required_keys) {
      int column = -1;
      for (std::size_t k = 0; k < info->keys.size(); ++k) {
        if (info->keys[k].name == name) column = static_cast<int>(k);
      }
      if (column < 0) return fail(failure, LOADER_ERR_KEY, path.c_str());
      f.required.push_back(column);
    }
    for (const std::string& input : info->inputs) f.input_identity.push_back(name_identity(input));
    f.input_first_game.assign(info->inputs.size(), UINT64_MAX);
    for (const PackKey& key : info->keys) {
      bool known = false;
      for (const std::string& name : source->keys) known = known || name == key.name;
      if (!known) source->keys.push_back(key.name);
    }
    for (std::uint32_t b = 0; b < info->blocks.size(); ++b) {
      SourceUnit u;
      u.file = index;
      u.block = b;
      u.count = info->blocks[b].n_positions;
      u.bytes = info->blocks[b].stored_size;
      source->units.push_back(u);
    }
  } else if (as == SOURCE_CONTAINER) {
    if (filter.min_ply >= 0 || filter.max_ply >= 0 || filter.min_pieces >= 0 || filter.max_pieces >= 0 ||
        !filter.required_keys.empty()) {
      return fail(failure, LOADER_ERR_FILTER, path.c_str());
    }
    SourceUnit u;
    u.file = index;
    u.bytes = f.bytes;
    // The whole file is one game for the split; each frame's keep is its own.
    for (std::uint64_t k = 0; k < frames; ++k) u.count += kept_by_hash(filter, source->seed, f.identity, k, 0);
    source->units.push_back(u);
  } else {
    if (!filter.required_keys.empty()) return fail(failure, LOADER_ERR_KEY, path.c_str());
    SourceUnit u;
    u.file = index;
    u.bytes = f.bytes;
    source->units.push_back(u);
  }
  return OK;
}

// Counts the positions each pack block keeps: once, when the stream opens.
Result count_packs(Source* source, Failure* failure) {
  PackBlock block;
  std::vector<std::uint32_t> kept;
  source->total = 0;
  for (SourceUnit& u : source->units) {
    const Result read = pack_read_block(source->files[u.file].pack, u.block, &block, failure);
    if (read != OK) return read;
    // Blocks in order: an input's first game is the first seen of it.
    SourceFile& file = source->files[u.file];
    for (std::uint32_t j = 0; j < block.n_positions; ++j) {
      if (block.inputs[j] >= file.input_first_game.size()) {
        return fail(failure, PACK_ERR_BLOCK_CONTENT, file.path.c_str());
      }
      std::uint64_t& first = file.input_first_game[block.inputs[j]];
      first = std::min(first, block.games[j]);
    }
    pack_block_kept(*source, u.file, block, &kept);
    u.count = kept.size();
  }
  return OK;
}

// OK once some log of the source gives a position that the filter keeps.
Result first_kept_position(Source* source, Failure* failure) {
  UnitReader reader;
  for (const SourceUnit& u : source->units) {
    Result r = unit_reader_open(&reader, source, u, failure);
    if (r == OK) r = unit_reader_next_log(&reader, nullptr, failure);
    unit_reader_close(&reader);
    if (r != END) return r;
  }
  return fail(failure, LOADER_ERR_EMPTY, source->files[0].path.c_str());
}

}  // namespace

Result source_open(const std::vector<std::string>& paths, const PositionFilter& filter, std::uint64_t seed,
                   Source* source, Failure* failure) {
  *source = Source{};
  source->filter = filter;
  source->seed = seed;
  if (paths.empty()) return fail(failure, ERR_ARGUMENT);
  Result result = OK;
  try {
    for (const std::string& path : paths) {
      result = open_file(path, filter, source, failure);
      if (result != OK) break;
    }
    if (result == OK && source->kind == SOURCE_PACK && filters(filter)) result = count_packs(source, failure);
  } catch (const std::bad_alloc&) {
    result = fail(failure, ERR_ALLOC);
  }
  if (result != OK) {
    source_close(source);
    return result;
  }
  if (source->kind == SOURCE_LOG) {
    // Every shard learns now that a source keeps nothing, rather than each
    // finding an empty share of it.
    result = first_kept_position(source, failure);
    if (result != OK) source_close(source);
    return result;
  }
  source->counted = true;
  for (const SourceUnit& u : source->units) source->total += u.count;
  if (source->total == 0) {
    const std::string path = source->files[0].path;
    source_close(source);
    return fail(failure, LOADER_ERR_EMPTY, path.c_str());
  }
  return OK;
}

void source_units(const Source& source, std::uint32_t n_shards, std::vector<SourceUnit>* units) {
  if (source.kind != SOURCE_LOG || source.files.size() >= n_shards) {
    *units = source.units;
    return;
  }
  units->clear();
  for (const SourceUnit& u : source.units) {
    const std::uint64_t size = source.files[u.file].bytes;
    Result sniffed = OK;
    if (kind_of(source.files[u.file].path, nullptr, &sniffed) == KIND_COMPRESSED) {
      units->push_back(u);  // compressed: read whole, by one shard
      continue;
    }
    for (std::uint32_t s = 0; s < n_shards; ++s) {
      std::uint64_t begin = 0, end = 0;
      shard_range(size, n_shards, s, &begin, &end);
      units->push_back({u.file, 0, static_cast<std::int64_t>(begin), static_cast<std::int64_t>(end), 0, end - begin});
    }
  }
}

void source_close(Source* source) {
  for (SourceFile& f : source->files) pack_close(f.pack);
  source->files.clear();
  source->units.clear();
}

void pack_block_kept(const Source& source, std::uint32_t file, const PackBlock& block, std::vector<std::uint32_t>* kept) {
  kept->clear();
  const PositionFilter& f = source.filter;
  const SourceFile& sf = source.files[file];
  const std::size_t n_keys = block.n_positions == 0 ? 0 : block.keys.size() / block.n_positions;
  const bool any = filters(f);
  for (std::uint32_t j = 0; j < block.n_positions; ++j) {
    if (any) {
      const std::uint32_t input = block.inputs[j];
      const std::uint64_t game = block.games[j] - sf.input_first_game[input];
      if (!kept_by_hash(f, source.seed, sf.input_identity[input], block.lines[j], game)) continue;
      if (!kept_by_value(f, block.trailers[j].ply, block.piece_start[j + 1] - block.piece_start[j])) continue;
      bool present = true;
      for (int column : sf.required) present = present && !std::isnan(block.keys[j * n_keys + column]);
      if (!present) continue;
    }
    kept->push_back(j);
  }
}

void pack_block_clear(PackBlock* block) {
  block->n_positions = 0;
  block->piece_start.assign(1, 0);
  block->pieces.clear();
  block->trailers.clear();
  block->next_moves.clear();
  block->move_flags.clear();
  block->games.clear();
  block->inputs.clear();
  block->lines.clear();
  block->keys.clear();
}

Result unit_reader_open(UnitReader* r, const Source* source, const SourceUnit& u, Failure* failure) {
  unit_reader_close(r);
  r->source = source;
  r->unit = u;
  const std::string& path = source->files[u.file].path;
  if (source->kind == SOURCE_CONTAINER) {
    ContainerReadOptions options;
    options.verify = true;
    const Result opened = container_reader_open(path.c_str(), options, &r->container, failure);
    if (opened != OK) return opened;
    r->frame = 0;
    r->open = true;
    return OK;
  }
  Result sniffed = OK;
  const FileKind kind = kind_of(path, failure, &sniffed);
  if (sniffed != OK) return sniffed;
  if (kind != KIND_LOG && kind != KIND_COMPRESSED) return fail(failure, LOADER_ERR_MIXED, path.c_str());
  PlyLogOptions range;
  range.begin = u.begin;
  range.end = u.end;
  if (const auto known = r->positions_before.find({u.file, u.begin}); known != r->positions_before.end()) {
    range.positions_before = known->second;
  }
  const Result opened = ply_log_open(path.c_str(), range, &r->log, failure);
  if (opened != OK) return opened;
  r->open = true;
  return OK;
}

void unit_reader_close(UnitReader* r) {
  if (!r->open) return;
  std::uint32_t before = 0;
  if (r->log != nullptr && ply_log_positions_before(r->log, &before) == OK) {
    r->positions_before[{r->unit.file, r->unit.begin}] = before;
  }
  ply_log_close(r->log);
  r->log = nullptr;
  container_reader_close(r->container);
  r->container = nullptr;
  r->open = false;
}

Result unit_reader_next_log(UnitReader* r, PackBlock* block, Failure* failure) {
  const Source& s = *r->source;
  const SourceFile& f = s.files[r->unit.file];
  for (;;) {
    PlyTrailer trailer;
    const Result read = ply_log_next(r->log, r->board.get(), &trailer, failure);
    if (read == PAUSED) continue;
    if (read == PLY_LOG_TOO_LONG) {
      ++r->lines_too_long;
      continue;
    }
    if (read == PLY_LOG_BAD_FEN4) {
      ++r->fen4_errors;
      continue;
    }
    if (read != OK) return read;  // END, or a failure of the file
    // The whole file is one game for the split.
    if (!kept_by_hash(s.filter, s.seed, f.identity, text_identity(ply_log_line(r->log)), 0)) continue;
    compact_board(*r->board, &r->pieces);
    if (!kept_by_value(s.filter, trailer.ply, r->pieces.size())) continue;
    if (block == nullptr) return OK;
    block->pieces.insert(block->pieces.end(), r->pieces.begin(), r->pieces.end());
    block->piece_start.push_back(static_cast<std::uint32_t>(block->pieces.size()));
    block->trailers.push_back(trailer);
    block->next_moves.push_back(PackMove{});
    block->move_flags.push_back((ply_log_fields(r->log) & LINE_HAS_MOVE) != 0 ? PACK_HAS_MOVE : 0);
    block->games.push_back(r->unit.file);
    block->inputs.push_back(r->unit.file);
    block->lines.push_back(static_cast<std::uint32_t>(ply_log_line_number(r->log)));
    ++block->n_positions;
    return OK;
  }
}

Result unit_reader_next_frame(UnitReader* r, float* values, PlyTrailer* trailer, Failure* failure) {
  const Source& s = *r->source;
  const SourceFile& f = s.files[r->unit.file];
  static thread_local std::vector<float> skipped;
  for (;;) {
    if (values == nullptr) skipped.resize(ENCODING_DIM);
    const Result read = container_reader_read(r->container, values != nullptr ? values : skipped.data(), trailer,
                                              failure);
    if (read != OK) return read;  // END, or the file changed since it was checked
    const std::uint64_t frame = r->frame++;
    if (kept_by_hash(s.filter, s.seed, f.identity, frame, 0)) return OK;
  }
}

}  // namespace q4d
