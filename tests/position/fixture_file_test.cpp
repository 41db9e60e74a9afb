#include "position/fixture_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "position/fen4.h"

namespace q4d {
namespace {

struct LineCase {
  const char* pieces;  // the rest of a line naming fixture f, after "pieces":
  Result expected;
};

// Lines end in a newline, as fgets returns them.
TEST(FixtureReader, PiecesObjectTolerances) {
  const LineCase cases[] = {
      {"{}", OK},
      {" \t{ }", OK},
      {"{\"5\":\"K\",\"6\" : \"k\" , }", OK},
      {"{,,\"5\":\"K\"}", OK},
      {"{\"5\":\"X\"}", OK},        // any letter is stored
      {"{\"0004095\":\"k\"}", OK},  // leading zeros
      {"{\"\":\"K\"}", OK},         // no digits reads as square 0
      {"{\"4096\":\"K\"}", FIXTURE_ERR_MALFORMED},
      {"{\"99999999999\":\"K\"}", FIXTURE_ERR_MALFORMED},  // would wrap around in 32 bits
      {"{\"4294967296\":\"K\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":\"Qw\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":\"Pz\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":\"Pyy\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":\"PY\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":\"\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\" \"K\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":K}", FIXTURE_ERR_MALFORMED},
      {"{\"a5\":\"K\"}", FIXTURE_ERR_MALFORMED},
      {"{5:\"K\"}", FIXTURE_ERR_MALFORMED},
      {"{\"5\":\"K\"", FIXTURE_ERR_MALFORMED},  // runs into the newline
      {"\"5\"", FIXTURE_ERR_NO_PIECES},
      {"[]", FIXTURE_ERR_NO_PIECES},
  };
  for (const LineCase& c : cases) {
    const std::string text = std::string("{\"name\":\"f\",\"pieces\":") + c.pieces + "\n";
    Board4D board;
    EXPECT_EQ(read_fixture_line(text.c_str(), "f", &board), c.expected) << text;
  }
}

TEST(FixtureReader, EndOfTextClosesTheObject) {
  Board4D board;
  const char* last_line = "{\"name\":\"f\",\"pieces\":{\"5\":\"K\"";  // final line, no newline
  EXPECT_EQ(read_fixture_line(last_line, "f", &board), OK);
  EXPECT_EQ(board.pieces[5], 'K');
}

TEST(FixtureReader, PiecesAndAxes) {
  Board4D board;
  const char* line =
      "{\"pieces\": {\"0\":\"K\", \"4095\":\"k\", \"520\":\"Py\", \"7\":\"pw\", \"9\":\"Py\", \"9\":\"N\"}, "
      "\"name\": \"k_vs_k\"}\n";
  ASSERT_EQ(read_fixture_line(line, "k_vs_k", &board), OK);
  EXPECT_EQ(board.pieces[0], 'K');
  EXPECT_EQ(board.pieces[4095], 'k');
  EXPECT_EQ(board.pieces[520], 'P');
  EXPECT_EQ(board.pawn_axis[520], PAWN_AXIS_Y);
  EXPECT_EQ(board.pieces[7], 'p');
  EXPECT_EQ(board.pawn_axis[7], PAWN_AXIS_W);
  // A square named twice keeps the later letter; only pawn entries with an
  // axis write the axis flag.
  EXPECT_EQ(board.pieces[9], 'N');
  EXPECT_EQ(board.pawn_axis[9], PAWN_AXIS_Y);
}

TEST(FixtureReader, NameMatching) {
  struct NameCase {
    const char* line;
    const char* requested;
    Result expected;
  };
  const std::string long_name(63, 'a');
  const std::string longer_name = long_name + "Q";
  const std::string whole_name = long_name + "XYZ";
  const std::string line_long = "{\"name\":\"" + long_name + "XYZ\",\"pieces\":{}}\n";
  const NameCase cases[] = {
      {"{\"name\":\"f\",\"pieces\":{}}\n", "f", OK},
      {"{\"name\" : \"f\",\"pieces\":{}}\n", "f", FIXTURE_ERR_NOT_FOUND},  // space before the colon
      {"{\"name\":\t \"f\",\"pieces\":{}}\n", "f", OK},
      {"{\"name\":\"F\",\"pieces\":{}}\n", "f", FIXTURE_ERR_NOT_FOUND},
      {"{\"name\":\"fg\",\"pieces\":{}}\n", "f", FIXTURE_ERR_NOT_FOUND},
      {"{\"name\":\"f\",\"pieces\":{}}\n", "fg", FIXTURE_ERR_NOT_FOUND},
      {"{\"name\":f,\"pieces\":{}}\n", "f", FIXTURE_ERR_NOT_FOUND},
      {"{\"name\":\"f", "f", FIXTURE_ERR_NOT_FOUND},  // no closing quote
      {"{\"name\":\"f\"}\n", "f", FIXTURE_ERR_NO_PIECES},
      {line_long.c_str(), whole_name.c_str(), OK},
      // Whole names are compared: names that share their first 63 characters
      // are different fixtures (they were once confused).
      {line_long.c_str(), long_name.c_str(), FIXTURE_ERR_NOT_FOUND},
      {line_long.c_str(), longer_name.c_str(), FIXTURE_ERR_NOT_FOUND},
  };
  Board4D board;
  for (const NameCase& c : cases) EXPECT_EQ(read_fixture_line(c.line, c.requested, &board), c.expected) << c.line;
}

std::FILE* stream_of(const std::string& text) {
  std::FILE* f = std::tmpfile();
  std::fputs(text.c_str(), f);
  std::rewind(f);
  return f;
}

TEST(FixtureReader, FirstMatchingLineWins) {
  std::FILE* f = stream_of(
      "{\"name\":\"other\",\"pieces\":{\"1\":\"Q\"}}\n"
      "{\"name\":\"f\",\"pieces\":{\"2\":\"R\"}}\n"
      "{\"name\":\"f\",\"pieces\":{\"3\":\"B\"}}\n");
  Board4D board;
  ASSERT_EQ(read_fixture(f, "f", &board), OK);
  EXPECT_EQ(board.pieces[2], 'R');
  EXPECT_EQ(board.pieces[1], 0);
  EXPECT_EQ(board.pieces[3], 0);
  EXPECT_EQ(read_fixture(f, "f", &board), OK);  // the stream goes on to the next line
  EXPECT_EQ(read_fixture(f, "f", &board), FIXTURE_ERR_NOT_FOUND);
  std::fclose(f);
}

// Whole lines of any length are read (lines of more than 4095 characters were
// once read in pieces, so a fixture of 1000 pieces was malformed): the board
// is the one FEN4 gives for the same pieces.
TEST(FixtureReader, LongLines) {
  std::string entries;
  std::string fen4 = "4d-fen v1:";
  for (int k = 0; k < 1000; ++k) {
    const int s = (k * 37) % N_SQUARES;
    const char* piece = k % 3 == 0 ? "Py" : k % 3 == 1 ? "n" : "Q";
    entries += (k > 0 ? ", \"" : "\"") + std::to_string(s) + "\": \"" + piece + '"';
    fen4 += (k > 0 ? "; " : " ") + std::string(piece) + "@" + std::to_string(square_coord(s, 0)) + "," +
            std::to_string(square_coord(s, 1)) + "," + std::to_string(square_coord(s, 2)) + "," +
            std::to_string(square_coord(s, 3));
  }
  const std::string line = "{\"name\":\"f\",\"pieces\":{" + entries + "}}\n";
  ASSERT_GT(line.size(), 13000u);
  Board4D board, expected;
  ASSERT_EQ(parse_fen4(fen4.c_str(), &expected), OK);
  std::FILE* f = stream_of("{\"name\":\"g\",\"pieces\":{}}\n" + line);
  EXPECT_EQ(read_fixture(f, "f", &board), OK);
  EXPECT_EQ(std::memcmp(&board, &expected, sizeof board), 0);
  std::fclose(f);

  // A line of exactly 4095 characters before its newline, object complete.
  std::string padded = "{\"name\":\"f\",\"pieces\":{\"8\":\"n\"},\"pad\":\"";
  padded += std::string(4095 - padded.size() - 2, 'x') + "\"}";
  ASSERT_EQ(padded.size(), 4095u);
  f = stream_of(padded + "\n");
  EXPECT_EQ(read_fixture(f, "f", &board), OK);
  EXPECT_EQ(board.pieces[8], 'n');
  std::fclose(f);

  // The same, at the end of the file without a newline, object left open.
  const std::string head = "{\"name\":\"f\",\"pad\":\"";
  const std::string tail = "\",\"pieces\":{\"8\":\"n\"";
  f = stream_of(head + std::string(4095 - head.size() - tail.size(), 'x') + tail);
  EXPECT_EQ(read_fixture(f, "f", &board), OK);
  std::fclose(f);
}

// Two fixtures whose names share their first 63 characters, and a requested
// name that is in neither: each name finds its own line or none.
TEST(FixtureReader, LongNamesSharingTheirStart) {
  const std::string stem(63, 'n');
  std::FILE* f = stream_of("{\"name\":\"" + stem + "A\",\"pieces\":{\"1\":\"Q\"}}\n" + "{\"name\":\"" + stem +
                           "B\",\"pieces\":{\"2\":\"R\"}}\n");
  Board4D board;
  ASSERT_EQ(read_fixture(f, (stem + "B").c_str(), &board), OK);
  EXPECT_EQ(board.pieces[2], 'R');
  EXPECT_EQ(board.pieces[1], 0);
  std::rewind(f);
  EXPECT_EQ(read_fixture(f, (stem + "C").c_str(), &board), FIXTURE_ERR_NOT_FOUND);
  std::rewind(f);
  EXPECT_EQ(read_fixture(f, stem.c_str(), &board), FIXTURE_ERR_NOT_FOUND);
  std::fclose(f);
}

TEST(FixtureReader, AbsentArguments) {
  Board4D board;
  EXPECT_EQ(read_fixture_line(nullptr, "f", &board), ERR_NULL);
  EXPECT_EQ(read_fixture_line("x", nullptr, &board), ERR_NULL);
  EXPECT_EQ(read_fixture(nullptr, "f", &board), ERR_NULL);
}

}  // namespace
}  // namespace q4d
