// Packed datasets: what the packer writes reads back as the ply logs read
// (positions, trailers, next moves, games, keys, sources), in the same bytes
// whatever the threads; damaged files are failures that name the block.
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_order.h"
#include "dataset/pack_format.h"
#include "dataset/pack_reader.h"
#include "dataset/pack_writer.h"
#include "position/key_scan.h"
#include "position/piece_list.h"
#include "position/ply_log.h"
#include "scratch_dir.h"
#include "test_boards.h"
#include "zlib_whole.h"

namespace q4d {
namespace {

using test::Bytes;

std::string fen4_of(const Board4D& board) {
  std::string text = "4d-fen v1:";
  for (int s = 0, k = 0; s < N_SQUARES; ++s) {
    const char c = static_cast<char>(board.pieces[s]);
    if (c == 0) continue;
    text += k++ > 0 ? "; " : " ";
    text += c;
    if (c == 'P' || c == 'p') text += board.pawn_axis[s] ? 'y' : 'w';
    for (int axis = 0; axis < 4; ++axis) text += std::string(axis ? "," : "@") + char('0' + square_coord(s, axis));
  }
  return text;
}

// A game of `plies` positions, each the one before with a piece moved (a
// capture now and then), from a board of `pieces` pieces; metadata first
// when `result` is not empty; a score on most lines.
std::string game_log(std::mt19937& rng, int pieces, int plies, const std::string& result) {
  std::string log = result.empty() ? "" : "{\"bridge_version\": \"1.0\", \"result\": " + result + "}\n";
  Board4D board = test::random_board(rng, pieces);
  for (int ply = 0; ply < plies; ++ply) {
    std::string line = "{\"fen4\": \"" + fen4_of(board) + "\"";
    if (ply % 5 != 4) line += ", \"ply\": " + std::to_string(ply);
    if (ply % 7 != 6) line += ", \"score\": " + std::to_string(ply * 0.25 - 3);
    if (ply > 0 && ply % 11 != 10)
      line += ", \"move_from\": [1, 2, 3, " + std::to_string(ply % 8) + "], \"move_to\": [4, 5, 6, 7]";
    log += line + ", \"promo\": " + std::to_string(ply % 3) + ", \"flags\": 1}\n";
    if (ply % 13 == 12) log += "{\"fen4\": \"4d-fen v1: K@9,0,0,0\"}\n";  // reported and skipped
    int from = static_cast<int>(rng() % N_SQUARES);
    while (board.pieces[from] == 0) from = (from + 1) % N_SQUARES;
    const int to = static_cast<int>(rng() % N_SQUARES);
    if (to != from) {
      board.pieces[to] = board.pieces[from];
      board.pawn_axis[to] = board.pawn_axis[from];
      board.pieces[from] = 0;
      board.pawn_axis[from] = 0;
    }
  }
  return log;
}

struct Expected {
  Board4D board;
  PlyTrailer trailer;
  bool has_move;
  bool follows;  // the line before was a position of its game, and their plies do not skip one
  std::uint64_t game;
  std::uint32_t input, line;
  float score, result;
};

// What the ply-log reader gives for `paths`, with the packer's games and keys
// worked out independently, line by line.
std::vector<Expected> expected_of(const std::vector<std::string>& paths, std::uint64_t* skipped) {
  std::vector<Expected> all;
  std::uint64_t games = 0;
  for (std::uint32_t input = 0; input < paths.size(); ++input) {
    PlyLogOptions options;
    options.metadata = true;
    PlyLogReader* reader = nullptr;
    EXPECT_EQ(ply_log_open(paths[input].c_str(), options, &reader, nullptr), OK);
    float result = NAN;
    bool game_open = false, follows = false, had_ply = false;
    std::uint32_t previous_ply = 0;
    Expected e{};
    Failure failure;
    for (Result r; (r = ply_log_next(reader, &e.board, &e.trailer, &failure)) != END;) {
      const char* line = ply_log_line(reader);
      if (r == PLY_LOG_METADATA) {
        double v = NAN;
        result = find_number_key(line, "result", &v) == OK ? static_cast<float>(v) : NAN;
        game_open = false;
        follows = false;
      } else if (r == OK) {
        if (!game_open) ++games;
        game_open = true;
        double v = NAN;
        e.score = find_number_key(line, "score", &v) == OK ? static_cast<float>(v) : NAN;
        e.result = result;
        std::int64_t square[4];
        e.has_move = find_int_array4(line, "move_from", square) == OK && find_int_array4(line, "move_to", square) == OK;
        const bool has_ply = find_number_key(line, "ply", &v) == OK;
        e.follows = follows && !(has_ply && had_ply && e.trailer.ply != previous_ply + 1);
        follows = true;
        had_ply = has_ply;
        previous_ply = e.trailer.ply;
        e.game = games - 1;
        e.input = input;
        e.line = static_cast<std::uint32_t>(ply_log_line_number(reader));
        all.push_back(e);
      } else {
        ++*skipped;
        follows = false;
      }
    }
    ply_log_close(reader);
  }
  return all;
}

bool same_float(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (a != a && b != b);
}

class Pack : public test::ScratchDirTest {
 protected:
  std::string write(const char* name, const Bytes& bytes) {
    test::write_bytes(path(name), bytes);
    return path(name);
  }
  static Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
  static Bytes zstd_of(const Bytes& content) {
    Bytes out(ZSTD_compressBound(content.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3));
    return out;
  }

  // Three inputs: plain (positions before any metadata, then two games), gzip
  // (games of many pieces, a game without a result), zstd (a game of 4096
  // pieces).
  std::vector<std::string> inputs() {
    std::mt19937 rng(11);
    const std::string plain = game_log(rng, 5, 7, "") + game_log(rng, 96, 600, "1") + game_log(rng, 40, 30, "-1");
    const std::string big = game_log(rng, 1500, 60, "0.5") + "{\"bridge_version\": 2}\n" + game_log(rng, 3, 4, "");
    const std::string full = game_log(rng, N_SQUARES, 40, "0");
    return {write("a.ndjson4", bytes_of(plain)), write("b.ndjson4.gz", test::gzip_whole(bytes_of(big))),
            write("c.zst", zstd_of(bytes_of(full)))};
  }
};

struct Reported {
  std::vector<std::string> lines;
  static Result skipped(void* context, const Failure& f) {
    static_cast<Reported*>(context)->lines.push_back(f.path + ":" + std::to_string(f.line) + ":" +
                                                     std::to_string(f.fen4_error));
    return OK;
  }
};

// Every position reads back with the board, trailer, next move, game, source
// and keys the logs give; 1 and 2 threads write the same bytes.
TEST_F(Pack, RoundTripOnAnyThreads) {
  const std::vector<std::string> paths = inputs();
  PackWriteOptions options;
  options.keys = {"score", "absent"};
  options.game_keys = {"result"};
  Bytes written[2];
  PackSummary summary;
  Reported reported;
  for (int threads : {1, 2}) {
    options.threads = threads;
    Reported seen;
    PackEvents events;
    events.context = &seen;
    events.line_skipped = Reported::skipped;
    ASSERT_EQ(pack_write(paths, path("out.q4pack").c_str(), options, &events, &summary, nullptr), OK);
    written[threads - 1] = test::read_bytes(path("out.q4pack"));
    reported = seen;
  }
  EXPECT_EQ(written[0], written[1]);

  std::uint64_t skipped = 0;
  const std::vector<Expected> expected = expected_of(paths, &skipped);
  EXPECT_EQ(reported.lines.size(), skipped);
  EXPECT_EQ(summary.lines_skipped, skipped);
  EXPECT_EQ(reported.lines.front(), paths[0] + ":22:-4");  // ply 12 of the second game

  PackReader* reader = nullptr;
  Failure failure;
  ASSERT_EQ(pack_open(path("out.q4pack").c_str(), &reader, &failure), OK);
  const PackInfo& info = *pack_info(reader);
  ASSERT_EQ(info.n_positions, expected.size());
  EXPECT_EQ(info.n_games, 6u);
  EXPECT_EQ(info.n_games, summary.games);
  EXPECT_GT(info.blocks.size(), 2u);  // the 4096-piece game fills blocks of its own
  EXPECT_EQ(info.inputs, paths);
  ASSERT_EQ(info.keys.size(), 3u);
  EXPECT_EQ(info.keys[2].name, "result");
  EXPECT_TRUE(info.keys[2].per_game && !info.keys[0].per_game);
  EXPECT_EQ(pack_verify(reader, &failure), OK);

  PackBlock block;
  auto board = std::make_unique<Board4D>();
  for (std::uint32_t k = 0; k < info.blocks.size(); ++k) {
    ASSERT_EQ(pack_read_block(reader, k, &block, &failure), OK);
    for (std::uint32_t j = 0; j < block.n_positions; ++j) {
      const std::uint64_t i = block.first_position + j;
      ASSERT_EQ(pack_block_of(info, i), k);
      const Expected& e = expected[i];
      expand_board(block.pieces.data() + block.piece_start[j], block.piece_start[j + 1] - block.piece_start[j],
                   board.get());
      ASSERT_EQ(std::memcmp(board.get(), &e.board, sizeof e.board), 0) << "position " << i;
      EXPECT_EQ(std::memcmp(&block.trailers[j], &e.trailer, sizeof e.trailer), 0) << "position " << i;
      EXPECT_EQ(block.games[j], e.game);
      EXPECT_EQ(block.inputs[j], e.input);
      EXPECT_EQ(block.lines[j], e.line);
      EXPECT_TRUE(same_float(block.keys[3 * j], e.score)) << "position " << i;
      EXPECT_TRUE(std::isnan(block.keys[3 * j + 1]));
      EXPECT_TRUE(same_float(block.keys[3 * j + 2], e.result)) << "position " << i;
      // The move played from a position is the next position's, in its game, with nothing between them.
      const bool next = i + 1 < expected.size() && expected[i + 1].follows && expected[i + 1].has_move;
      EXPECT_EQ(block.move_flags[j], (e.has_move ? PACK_HAS_MOVE : 0) | (next ? PACK_HAS_NEXT_MOVE : 0)) << i;
      if (next) {
        const PlyTrailer& t = expected[i + 1].trailer;
        EXPECT_EQ(std::memcmp(block.next_moves[j].from, t.move_from, 4), 0);
        EXPECT_EQ(std::memcmp(block.next_moves[j].to, t.move_to, 4), 0);
        EXPECT_EQ(block.next_moves[j].promo, t.promo);
      }
    }
  }
  pack_close(reader);
}

// Readers of one pack share it: threads read its blocks at once, each into
// its own PackBlock, and get what one thread gets.
TEST_F(Pack, BlocksReadOnSeveralThreadsAtOnce) {
  std::mt19937 rng(7);
  const std::string log = write("log.ndjson4", bytes_of(game_log(rng, 200, 1500, "1")));
  ASSERT_EQ(pack_write({log}, path("out.q4pack").c_str(), PackWriteOptions{}, nullptr, nullptr, nullptr), OK);
  PackReader* reader = nullptr;
  ASSERT_EQ(pack_open(path("out.q4pack").c_str(), &reader, nullptr), OK);
  const auto n_blocks = static_cast<std::uint32_t>(pack_info(reader)->blocks.size());
  ASSERT_GE(n_blocks, 2u);
  std::vector<std::vector<PieceWord>> alone(n_blocks);
  PackBlock block;
  for (std::uint32_t k = 0; k < n_blocks; ++k) {
    ASSERT_EQ(pack_read_block(reader, k, &block, nullptr), OK);
    alone[k] = block.pieces;
  }
  std::vector<int> differ(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      PackBlock mine;
      for (int round = 0; round < 3; ++round) {
        for (std::uint32_t k = (t + round) % n_blocks, n = 0; n < n_blocks; ++n, k = (k + 1) % n_blocks) {
          if (pack_read_block(reader, k, &mine, nullptr) != OK || mine.pieces != alone[k]) ++differ[t];
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(differ, std::vector<int>(4, 0));
  pack_close(reader);
}

// A pack of no position is a valid, empty dataset; a failed input leaves no output.
TEST_F(Pack, EmptyInputsAndFailures) {
  const std::string empty = write("empty.ndjson4", bytes_of("{\"fen4\": \"bad\"}\n\n"));
  PackSummary summary;
  ASSERT_EQ(pack_write({empty}, path("empty.q4pack").c_str(), PackWriteOptions{}, nullptr, &summary, nullptr), OK);
  PackReader* reader = nullptr;
  ASSERT_EQ(pack_open(path("empty.q4pack").c_str(), &reader, nullptr), OK);
  EXPECT_EQ(pack_info(reader)->n_positions, 0u);
  EXPECT_TRUE(pack_info(reader)->blocks.empty());
  EXPECT_EQ(pack_verify(reader, nullptr), OK);
  pack_close(reader);

  Failure failure;
  Bytes gz = test::gzip_whole(bytes_of(std::string(5000, 'x')));
  gz.resize(20);
  const std::string cut = write("cut.gz", gz);
  EXPECT_EQ(pack_write({empty, cut}, path("out.q4pack").c_str(), PackWriteOptions{}, nullptr, nullptr, &failure),
            CODEC_ERR_CUT);
  EXPECT_EQ(failure.path, cut);
  EXPECT_EQ(pack_write({path("missing")}, path("out.q4pack").c_str(), PackWriteOptions{}, nullptr, nullptr, &failure),
            ERR_OPEN);
  EXPECT_EQ(failure.path, path("missing"));
  EXPECT_EQ(pack_write({empty}, path("no/such/out.q4pack").c_str(), PackWriteOptions{}, nullptr, nullptr, &failure),
            ERR_CREATE);
  // Nothing but the inputs and the earlier pack remains: no temporary file.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 3u);

  PackWriteOptions bad;
  for (const auto& keys :
       std::vector<std::vector<std::string>>{
           {""}, {"a\"b"}, {"a\\b"}, {std::string(61, 'k')}, {"s", "s"}, {"source"}, {"loader_state"}}) {
    bad.keys = keys;
    EXPECT_EQ(pack_write({empty}, path("x").c_str(), bad, nullptr, nullptr, &failure), ERR_ARGUMENT);
  }
  bad.keys.assign(65, "");
  for (std::size_t k = 0; k < bad.keys.size(); ++k) bad.keys[k] = std::to_string(k).insert(0, 1, 'k');
  EXPECT_EQ(pack_write({empty}, path("x").c_str(), bad, nullptr, nullptr, &failure), ERR_ARGUMENT);
  EXPECT_EQ(failure.path, "k64");
}

// The file's sums are patched after an edit, so that only the check under
// test can see it.
void reseal(Bytes& file) {
  const std::size_t footer = file.size() - PACK_FOOTER_SIZE;
  const std::uint64_t index = load_le32(&file[footer]) | std::uint64_t{load_le32(&file[footer + 4])} << 32;
  store_le32(&file[footer + 16], static_cast<std::uint32_t>(crc32(0, &file[index], static_cast<uInt>(footer - index))));
  store_le32(&file[footer + 20], static_cast<std::uint32_t>(crc32(0, &file[footer], 20)));
}

// Damaged packs: each check names the file, and the block where one is at fault.
TEST_F(Pack, DamagedFilesNameTheBlock) {
  std::mt19937 rng(3);
  const std::string log = write("log.ndjson4", bytes_of(game_log(rng, 96, 3000, "1")));
  PackWriteOptions options;
  options.keys = {"score"};
  ASSERT_EQ(pack_write({log}, path("good.q4pack").c_str(), options, nullptr, nullptr, nullptr), OK);
  const Bytes good = test::read_bytes(path("good.q4pack"));
  PackReader* reader = nullptr;
  ASSERT_EQ(pack_open(path("good.q4pack").c_str(), &reader, nullptr), OK);
  const PackInfo info = *pack_info(reader);
  pack_close(reader);
  ASSERT_GE(info.blocks.size(), 2u);
  const PackBlockInfo& second = info.blocks[1];
  const std::size_t index = load_le32(&good[good.size() - PACK_FOOTER_SIZE]);
  const std::size_t entry1 = index + PACK_INDEX_HEAD_SIZE + PACK_BLOCK_ENTRY_SIZE;  // block 1's

  struct Case {
    const char* what;
    Bytes file;
    Result at_open, at_verify;
    std::int64_t block;
    Result block_alone = at_verify;  // reading the block at fault on its own
  };
  std::vector<Case> cases;
  auto edited = [&](auto edit, bool seal) {
    Bytes f = good;
    edit(f);
    if (seal) reseal(f);
    return f;
  };
  cases.push_back({"cut in the index", Bytes(good.begin(), good.end() - 40), PACK_ERR_FOOTER, OK, -1});
  cases.push_back({"cut in a block", Bytes(good.begin(), good.begin() + second.offset + 9), PACK_ERR_FOOTER, OK, -1});
  cases.push_back({"cut in the header", Bytes(good.begin(), good.begin() + 5), PACK_ERR_FOOTER, OK, -1});
  cases.push_back(
      {"not a pack", bytes_of("{\"fen4\": \"4d-fen v1:\"}\n" + std::string(100, ' ')), PACK_ERR_MAGIC, OK, -1});
  cases.push_back({"version 2", edited([](Bytes& f) { f[8] = 2; }, false), PACK_ERR_VERSION, OK, -1});
  cases.push_back({"bytes after the footer", edited([](Bytes& f) { f.push_back(0); }, false), PACK_ERR_FOOTER, OK, -1});
  cases.push_back({"a bit of the index", edited([&](Bytes& f) { f[entry1 + 1] ^= 4; }, false), PACK_ERR_INDEX, OK, -1});
  cases.push_back(
      {"a bit of the footer", edited([](Bytes& f) { f[f.size() - 20] ^= 1; }, false), PACK_ERR_FOOTER, OK, -1});
  cases.push_back({"a bit of block 1", edited([&](Bytes& f) { f[second.offset + second.stored_size / 2] ^= 8; }, false),
                   OK, PACK_ERR_BLOCK_CHECKSUM, 1});
  // An index that lies, with its sums made right: a block larger than it
  // says, or of fewer positions, or offsets that do not meet.
  cases.push_back({"raw size too small",
                   edited([&](Bytes& f) { store_le32(&f[entry1 + 12], second.raw_size - 1); }, true), OK,
                   PACK_ERR_BLOCK_SIZE, 1});
  cases.push_back({"raw size too large",
                   edited([&](Bytes& f) { store_le32(&f[entry1 + 12], second.raw_size + 4); }, true), OK,
                   PACK_ERR_BLOCK_SIZE, 1});
  cases.push_back({"positions moved between blocks",
                   edited(
                       [&](Bytes& f) {
                         store_le32(&f[entry1 + 16], second.n_positions - 1);
                         store_le32(&f[entry1 - PACK_BLOCK_ENTRY_SIZE + 16], info.blocks[0].n_positions + 1);
                       },
                       true),
                   OK, PACK_ERR_BLOCK_CONTENT, 0});
  cases.push_back(
      {"offsets that do not meet",
       edited([&](Bytes& f) { store_le32(&f[entry1], static_cast<std::uint32_t>(second.offset + 1)); }, true),
       PACK_ERR_INDEX, OK, -1});
  cases.push_back(
      {"more positions than the blocks hold", edited([&](Bytes& f) { f[index] += 1; }, true), PACK_ERR_INDEX, OK, -1});
  cases.push_back({"a game too many", edited([&](Bytes& f) { f[index + 8] += 1; }, true), OK, PACK_ERR_BLOCK_CONTENT,
                   static_cast<std::int64_t>(info.blocks.size()) - 1, OK});
  for (const Case& c : cases) {
    const std::string file = write("damaged.q4pack", c.file);
    Failure failure;
    PackReader* r = nullptr;
    EXPECT_EQ(pack_open(file.c_str(), &r, &failure), c.at_open) << c.what;
    if (c.at_open != OK) {
      EXPECT_EQ(failure.path, file) << c.what;
      EXPECT_EQ(r, nullptr);
      continue;
    }
    EXPECT_EQ(pack_verify(r, &failure), c.at_verify) << c.what;
    EXPECT_EQ(failure.block, c.block) << c.what;
    EXPECT_EQ(failure.path, file) << c.what;
    PackBlock block;
    EXPECT_EQ(pack_read_block(r, static_cast<std::uint32_t>(c.block), &block, &failure), c.block_alone) << c.what;
    EXPECT_EQ(pack_read_block(r, static_cast<std::uint32_t>(info.blocks.size()), &block, &failure), ERR_ARGUMENT);
    pack_close(r);
  }
}

// The move played from a position is the next line's only when nothing lies
// between them: no skipped line, no ply left out.
TEST_F(Pack, NextMoveOnlyFromTheLineThatFollows) {
  const std::string meta = "{\"bridge_version\": 1}\n";
  auto position = [](const char* ply, int w) {
    return std::string("{\"fen4\": \"4d-fen v1: K@0,0,0,") + std::to_string(w) + "\"" + ply +
           ", \"move_from\": [0, 0, 0, 1], \"move_to\": [0, 0, 0, 2]}\n";
  };
  const std::string log = meta + position(", \"ply\": 0", 0) + position(", \"ply\": 1", 1) +  // follows
                          meta + position(", \"ply\": 0", 0) + "{\"fen4\": \"4d-fen v1: K@9,0,0,0\"}\n" +
                          position(", \"ply\": 1", 1) +                                      // a skipped line between
                          meta + position(", \"ply\": 3", 0) + position(", \"ply\": 5", 1) +  // ply 4 is missing
                          meta + position("", 0) + position(", \"ply\": 7", 1);               // no ply to compare
  const std::string input = write("log.ndjson4", bytes_of(log));
  ASSERT_EQ(pack_write({input}, path("out.q4pack").c_str(), PackWriteOptions{}, nullptr, nullptr, nullptr), OK);
  PackReader* reader = nullptr;
  ASSERT_EQ(pack_open(path("out.q4pack").c_str(), &reader, nullptr), OK);
  PackBlock block;
  ASSERT_EQ(pack_read_block(reader, 0, &block, nullptr), OK);
  std::vector<bool> next;
  for (std::uint32_t j = 0; j < block.n_positions; ++j) next.push_back((block.move_flags[j] & PACK_HAS_NEXT_MOVE) != 0);
  EXPECT_EQ(next, (std::vector<bool>{true, false, false, false, false, false, true, false}));
  pack_close(reader);
}

// An output that is one of the inputs under any name, or an input given
// twice, is refused before anything is written: the input stays as it was.
TEST_F(Pack, RefusesAnOutputThatIsAnInputAndAnInputTwice) {
  const std::string game = "{\"fen4\": \"4d-fen v1: K@0,0,0,4\"}\n";
  const std::string log = write("log.ndjson4", bytes_of(game)), other = write("other.ndjson4", bytes_of(game));
  std::filesystem::create_symlink(log, path("link.ndjson4"));
  std::filesystem::create_hard_link(log, path("hard.ndjson4"));
  const std::string dotted = dir_ + "/./log.ndjson4";
  struct Case {
    std::vector<std::string> inputs;
    std::string output;
    Result result;
    std::string named;
  };
  const Case cases[] = {
      {{other, log}, log, PACK_ERR_OUTPUT_IS_INPUT, log},
      {{dotted}, log, PACK_ERR_OUTPUT_IS_INPUT, dotted},
      {{log}, path("link.ndjson4"), PACK_ERR_OUTPUT_IS_INPUT, log},
      {{path("link.ndjson4")}, path("hard.ndjson4"), PACK_ERR_OUTPUT_IS_INPUT, path("link.ndjson4")},
      {{log, other, log}, path("out.q4pack"), PACK_ERR_INPUT_TWICE, log},
      {{log, other, path("hard.ndjson4"), dotted}, path("out.q4pack"), PACK_ERR_INPUT_TWICE, path("hard.ndjson4")},
  };
  for (const Case& c : cases) {
    Failure failure;
    EXPECT_EQ(pack_write(c.inputs, c.output.c_str(), PackWriteOptions{}, nullptr, nullptr, &failure), c.result)
        << c.output;
    EXPECT_EQ(failure.path, c.named);
    EXPECT_EQ(test::read_text(log), game);
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 4u);  // no output, no temporary file
}

// A footer that declares an index of a gigabyte or a terabyte (a sparse file)
// is refused from the index's first bytes, without reading or allocating the
// rest; a file cut while it is open says so.
TEST_F(Pack, HugeIndexesAndFilesCutWhileOpen) {
  auto sparse = [&](std::uint64_t size, std::uint32_t n_inputs) {
    const std::string file = path("sparse.q4pack");
    Bytes head(PACK_HEADER_SIZE + PACK_INDEX_HEAD_SIZE, 0);
    std::memcpy(head.data(), PACK_MAGIC, sizeof PACK_MAGIC);
    store_le32(&head[8], PACK_VERSION);
    store_le32(&head[PACK_HEADER_SIZE + 24], n_inputs);
    test::write_bytes(file, head);
    unsigned char footer[PACK_FOOTER_SIZE] = {};
    store_le32(footer, PACK_HEADER_SIZE);
    const std::uint64_t index_size = size - PACK_HEADER_SIZE - PACK_FOOTER_SIZE;
    store_le32(footer + 8, static_cast<std::uint32_t>(index_size));
    store_le32(footer + 12, static_cast<std::uint32_t>(index_size >> 32));
    store_le32(footer + 20, static_cast<std::uint32_t>(crc32(0, footer, 20)));
    std::memcpy(footer + 24, PACK_INDEX_MAGIC, sizeof PACK_INDEX_MAGIC);
    std::error_code error;
    std::filesystem::resize_file(file, size - PACK_FOOTER_SIZE, error);
    std::FILE* f = std::fopen(file.c_str(), "ab");
    const bool made = !error && f != nullptr && std::fwrite(footer, 1, sizeof footer, f) == sizeof footer;
    if (f != nullptr) std::fclose(f);
    return made ? file : std::string();
  };
  for (const auto& [size, n_inputs] :
       {std::pair<std::uint64_t, std::uint32_t>{1ull << 30, 0}, {1ull << 40, 0xFFFFFFFFu}}) {
    const std::string file = sparse(size, n_inputs);
    if (file.empty()) continue;  // no sparse file this large here
    PackReader* reader = nullptr;
    Failure failure;
    EXPECT_EQ(pack_open(file.c_str(), &reader, &failure), PACK_ERR_INDEX) << size;
    EXPECT_EQ(failure.path, file);
    std::filesystem::remove(file);
  }

  std::mt19937 rng(5);
  const std::string log = write("log.ndjson4", bytes_of(game_log(rng, 96, 2000, "1")));
  ASSERT_EQ(pack_write({log}, path("out.q4pack").c_str(), PackWriteOptions{}, nullptr, nullptr, nullptr), OK);
  PackReader* reader = nullptr;
  ASSERT_EQ(pack_open(path("out.q4pack").c_str(), &reader, nullptr), OK);
  ASSERT_GE(pack_info(reader)->blocks.size(), 2u);
  std::filesystem::resize_file(path("out.q4pack"), pack_info(reader)->blocks[1].offset + 10);
  PackBlock block;
  Failure failure;
  EXPECT_EQ(pack_read_block(reader, 1, &block, &failure), PACK_ERR_SHRUNK);
  EXPECT_EQ(failure.block, 1);
  pack_close(reader);
}

}  // namespace
}  // namespace q4d
