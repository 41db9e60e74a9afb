// An in-memory packed dataset behind the reader's interface, so that the
// loader's counted path (orders, windows, exact shards, filters, resuming)
// is tested on its own. A file whose path was registered opens as the pack
// made for it; position p has ply p, p % 9 + 1 pieces, game p / 10 and key
// "result" (NaN for every seventh position).
#include "fake_pack.h"

#include <cmath>
#include <map>
#include <random>
#include <string>

#include "test_boards.h"

namespace q4d {

struct PackReader {
  PackInfo info;
  std::vector<PackBlock> blocks;
};

namespace test {
namespace {
std::map<std::string, PackReader>& registry() {
  static std::map<std::string, PackReader> packs;
  return packs;
}
}  // namespace

Board4D fake_board(std::uint64_t p) {
  std::mt19937 rng(static_cast<std::uint32_t>(p));
  return random_board(rng, static_cast<int>(p % 9 + 1));
}

void register_fake_pack(const std::string& path, std::uint64_t first, std::uint64_t n, std::uint32_t block_size) {
  PackReader r;
  r.info.version = 1;
  r.info.n_positions = n;
  r.info.keys.push_back({"result", true});
  r.info.inputs.push_back("games" + std::to_string(first) + ".ndjson4");
  std::vector<PieceWord> pieces;
  for (std::uint64_t start = 0; start < n; start += block_size) {
    PackBlock b;
    b.block = static_cast<std::uint32_t>(r.blocks.size());
    b.first_position = start;
    b.n_positions = static_cast<std::uint32_t>(std::min<std::uint64_t>(block_size, n - start));
    b.piece_start.push_back(0);
    for (std::uint32_t j = 0; j < b.n_positions; ++j) {
      const std::uint64_t p = first + start + j;
      compact_board(fake_board(p), &pieces);
      b.pieces.insert(b.pieces.end(), pieces.begin(), pieces.end());
      b.piece_start.push_back(static_cast<std::uint32_t>(b.pieces.size()));
      b.trailers.push_back(PlyTrailer{static_cast<std::uint32_t>(p), {1, 2, 3, 4}, {5, 6, 7, 0}, 0, 0});
      b.next_moves.push_back(PackMove{{static_cast<std::uint8_t>(p & 7), 0, 0, 0}, {0, 0, 0, 1}, 0});
      b.move_flags.push_back(PACK_HAS_MOVE | (p % 10 == 9 ? 0 : PACK_HAS_NEXT_MOVE));
      b.games.push_back((start + j) / 10);
      b.inputs.push_back(0);
      b.lines.push_back(static_cast<std::uint32_t>(start + j + 1));
      b.keys.push_back(p % 7 == 0 ? NAN : static_cast<float>(p % 3));
    }
    r.info.blocks.push_back({0, 100, 100, b.n_positions, start});
    r.blocks.push_back(std::move(b));
  }
  r.info.n_games = (n + 9) / 10;
  registry()[path] = std::move(r);
}

}  // namespace test

Result pack_open(const char* path, PackReader** reader, Failure* failure) {
  *reader = nullptr;
  const auto found = test::registry().find(path);
  if (found == test::registry().end()) return fail(failure, PACK_ERR_MAGIC, path);
  *reader = new PackReader(found->second);
  return OK;
}

const PackInfo* pack_info(const PackReader* reader) { return &reader->info; }

Result pack_read_block(PackReader* reader, std::uint32_t k, PackBlock* block, Failure* failure) {
  if (k >= reader->blocks.size()) return fail(failure, ERR_ARGUMENT);
  *block = reader->blocks[k];
  return OK;
}

Result pack_verify(PackReader*, Failure*) { return OK; }

void pack_close(PackReader* reader) { delete reader; }

}  // namespace q4d
