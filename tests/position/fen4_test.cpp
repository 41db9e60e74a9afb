#include "position/fen4.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace q4d {
namespace {

struct Fen4Case {
  const char* text;
  int expected;
};

// Text after "4d-fen v1: ".
const Fen4Case BODY_CASES[] = {
    {"", OK},
    {" \t\r\n ", OK},
    {"K@0,0,0,0;", OK},
    {"K @ 0,0,0,0", OK},
    {"K@0,0,0,0 ; k@7,7,7,7 ;  ", OK},
    {"P@1,1,1,1", FEN4_ERR_PIECE},
    {"PW@1,1,1,1", FEN4_ERR_PIECE},
    {"P /w@1,1,1,1", FEN4_ERR_PIECE},
    {"P/ w@1,1,1,1", FEN4_ERR_PIECE},
    {"P/@1,1,1,1", FEN4_ERR_PIECE},
    {"Nw@1,1,1,1", FEN4_ERR_PIECE},
    {"X@0,0,0,0", FEN4_ERR_PIECE},
    {"\xC3\x84@0,0,0,0", FEN4_ERR_PIECE},
    {"K@0,0,0,0;;k@1,1,1,1", FEN4_ERR_PIECE},
    {"K@0,0,0,0; ;k@1,1,1,1", FEN4_ERR_PIECE},
    {"K 0,0,0,0", FEN4_ERR_PIECE},
    {"K", FEN4_ERR_PIECE},
    {"K\v@0,0,0,0", FEN4_ERR_PIECE},
    {"K@0, 0,0,0", FEN4_ERR_COORD},
    {"K@0,0,0,8", FEN4_ERR_COORD},
    {"K@9,0,0,0", FEN4_ERR_COORD},
    {"K@-1,0,0,0", FEN4_ERR_COORD},
    {"K@10,0,0,0", FEN4_ERR_COORD},
    {"K@0,0,0", FEN4_ERR_COORD},
    {"K@", FEN4_ERR_COORD},
    {"K@\f0,0,0,0", FEN4_ERR_COORD},
    {"K@0,0,0,0;k@0,0,0,0", FEN4_ERR_DUPLICATE},
    {"Pw@3,3,3,3;py@3,3,3,3", FEN4_ERR_DUPLICATE},
    {"K@0,0,0,0 k@7,7,7,7", FEN4_ERR_SEPARATOR},
    {"K@0,0,0,0,1", FEN4_ERR_SEPARATOR},
    {"K@0,0,0,0\v", FEN4_ERR_SEPARATOR},
};

TEST(ParseFen4, EdgeCasesAfterThePrefix) {
  Board4D board;
  for (const Fen4Case& c : BODY_CASES) {
    const std::string text = std::string("4d-fen v1: ") + c.text;
    EXPECT_EQ(parse_fen4(text.c_str(), &board), c.expected) << "text: " << text;
  }
}

TEST(ParseFen4, Prefix) {
  const Fen4Case cases[] = {
      {"", FEN4_ERR_PREFIX},
      {"   ", FEN4_ERR_PREFIX},
      {"4D-FEN V1:", FEN4_ERR_PREFIX},
      {"4d-fen v1", FEN4_ERR_PREFIX},
      {"4d-fen  v1:", FEN4_ERR_PREFIX},
      {"K@0,0,0,0", FEN4_ERR_PREFIX},
      {"\v4d-fen v1:", FEN4_ERR_PREFIX},
      {"\f4d-fen v1:", FEN4_ERR_PREFIX},
      {"\t\r\n 4d-fen v1:", OK},
      {"4d-fen v1:K@0,0,0,0", OK},
  };
  Board4D board;
  for (const Fen4Case& c : cases) EXPECT_EQ(parse_fen4(c.text, &board), c.expected) << "text: " << c.text;
}

TEST(ParseFen4, WorkedExample) {
  Board4D board;
  std::memset(&board, 0xAB, sizeof board);  // the parser must clear everything
  ASSERT_EQ(parse_fen4("4d-fen v1: K@0,0,0,4; Q@0,0,0,3; P/w@1,0,0,4; py@6,7,7,3; k @ 7,7,7,4;", &board), OK);

  Board4D expected{};
  expected.pieces[4] = 'K';
  expected.pieces[3] = 'Q';
  expected.pieces[516] = 'P';
  expected.pieces[3579] = 'p';
  expected.pawn_axis[3579] = PAWN_AXIS_Y;
  expected.pieces[4092] = 'k';
  EXPECT_EQ(std::memcmp(&board, &expected, sizeof board), 0);
}

TEST(ParseFen4, PawnTokensAndAxes) {
  Board4D board;
  ASSERT_EQ(parse_fen4("4d-fen v1: Pw@0,0,0,0; P/y@0,0,0,1; pw@0,0,0,2; p/y@0,0,0,3", &board), OK);
  const std::uint8_t letters[] = {'P', 'P', 'p', 'p'};
  const std::uint8_t axes[] = {PAWN_AXIS_W, PAWN_AXIS_Y, PAWN_AXIS_W, PAWN_AXIS_Y};
  for (int s = 0; s < 4; ++s) {
    EXPECT_EQ(board.pieces[s], letters[s]);
    EXPECT_EQ(board.pawn_axis[s], axes[s]);
  }
}

TEST(ParseFen4, AbsentArgumentLeavesBoardUntouched) {
  Board4D board;
  std::memset(&board, 0x5A, sizeof board);
  EXPECT_EQ(parse_fen4(nullptr, &board), ERR_NULL);
  for (std::uint8_t b : board.pieces) ASSERT_EQ(b, 0x5A);
  for (std::uint8_t b : board.pawn_axis) ASSERT_EQ(b, 0x5A);
  EXPECT_EQ(parse_fen4("4d-fen v1:", nullptr), ERR_NULL);
}

TEST(ParseFen4, EveryCallStartsFromAnEmptyBoard) {
  Board4D board;
  ASSERT_EQ(parse_fen4("4d-fen v1: Py@1,2,3,4", &board), OK);
  ASSERT_EQ(parse_fen4("4d-fen v1: k@1,2,3,4", &board), OK);
  EXPECT_EQ(board.pieces[668], 'k');
  EXPECT_EQ(board.pawn_axis[668], 0);

  // An error still clears the previous position before it stops.
  ASSERT_EQ(parse_fen4("4d-fen v1: Q@0,0,0,1; X@0,0,0,0", &board), FEN4_ERR_PIECE);
  EXPECT_EQ(board.pieces[1], 'Q');
  EXPECT_EQ(board.pieces[668], 0);
}

TEST(ParseFen4, AllSquaresOccupied) {
  static const char LETTERS[] = "KQRBNkqrbn";
  std::string text = "4d-fen v1:";
  for (int s = 0; s < N_SQUARES; ++s) {
    text += s % 3 == 0 ? "\t" : " ";
    if (s % 7 == 0) {
      text += (s & 1) ? "p/y" : "Pw";
    } else {
      text += LETTERS[s % 10];
    }
    text += '@';
    for (int axis = 0; axis < 4; ++axis) {
      if (axis) text += ',';
      text += static_cast<char>('0' + square_coord(s, axis));
    }
    text += ';';
  }
  Board4D board;
  ASSERT_EQ(parse_fen4(text.c_str(), &board), OK);
  for (int s = 0; s < N_SQUARES; ++s) {
    if (s % 7 == 0) {
      EXPECT_EQ(board.pieces[s], (s & 1) ? 'p' : 'P') << s;
      EXPECT_EQ(board.pawn_axis[s], (s & 1) ? PAWN_AXIS_Y : PAWN_AXIS_W) << s;
    } else {
      EXPECT_EQ(board.pieces[s], LETTERS[s % 10]) << s;
      EXPECT_EQ(board.pawn_axis[s], 0) << s;
    }
  }
}

// Places each text so that its NUL is the last byte before an inaccessible
// page: any read past the end faults.
TEST(ParseFen4, NeverReadsPastTheTerminatingNul) {
  const long page = sysconf(_SC_PAGESIZE);
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* guard = static_cast<char*>(map) + page;
  ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);

  const std::string full = "4d-fen v1: K@0,0,0,4; Q@0,0,0,3; P/w@1,0,0,4; py@6,7,7,3; k @ 7,7,7,4 ;";
  Board4D board;
  // Every prefix of a valid text, plus every table case.
  for (std::size_t n = 0; n <= full.size(); ++n) {
    char* text = guard - (n + 1);
    std::memcpy(text, full.data(), n);
    text[n] = '\0';
    (void)parse_fen4(text, &board);  // only the reads matter here
  }
  for (const Fen4Case& c : BODY_CASES) {
    const std::string body = std::string("4d-fen v1:") + c.text;
    char* text = guard - (body.size() + 1);
    std::memcpy(text, body.c_str(), body.size() + 1);
    EXPECT_EQ(parse_fen4(text, &board), c.expected) << body;
  }
  munmap(map, 2 * page);
}

}  // namespace
}  // namespace q4d
