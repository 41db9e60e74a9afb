#include "position/fixture_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "position/key_scan.h"
#include "position/piece_token.h"

namespace q4d {
namespace {

// The whole name is compared, however long.
bool names_fixture(const char* line, const char* name) {
  const char* stored = nullptr;
  std::size_t length = 0;
  return find_string_value(line, "name", &stored, &length) == OK && std::strlen(name) == length &&
         std::memcmp(stored, name, length) == 0;
}

// Parses the entries of a pieces object from just after its "{".
Result parse_pieces(const char* p, Board4D* board) {
  std::memset(board, 0, sizeof *board);
  for (;;) {
    if (*p == '\0' || *p == '}') return OK;
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    if (*p == '}') return OK;
    if (*p != '"') return FIXTURE_ERR_MALFORMED;
    ++p;

    unsigned square = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      square = square * 10 + static_cast<unsigned>(*p - '0');
      if (square >= N_SQUARES) return FIXTURE_ERR_MALFORMED;  // checked per digit: no wrap-around
    }
    if (*p != '"') return FIXTURE_ERR_MALFORMED;
    p = skip_blanks(p + 1);
    if (*p != ':') return FIXTURE_ERR_MALFORMED;
    p = skip_blanks(p + 1);
    if (*p != '"') return FIXTURE_ERR_MALFORMED;
    ++p;

    // Any letter is stored; a pawn may carry its axis ("Pw", never "P/w").
    PieceToken token;
    const char* end = read_piece_token(p, false, &token);
    if (end == nullptr || token.letter == '"') return FIXTURE_ERR_MALFORMED;
    board->pieces[square] = token.letter;
    if (*end != '"') return FIXTURE_ERR_MALFORMED;
    if (token.axis != NO_PAWN_AXIS) board->pawn_axis[square] = static_cast<std::uint8_t>(token.axis);
    p = end + 1;
  }
}

}  // namespace

Result read_fixture_line(const char* line, const char* name, Board4D* board) {
  if (line == nullptr || name == nullptr || board == nullptr) return ERR_NULL;
  if (!names_fixture(line, name)) return FIXTURE_ERR_NOT_FOUND;
  const char* p = nullptr;
  if (find_key(line, "pieces", &p) != OK || *p != '{') return FIXTURE_ERR_NO_PIECES;
  return parse_pieces(p + 1, board);
}

Result read_fixture(std::FILE* stream, const char* name, Board4D* board) {
  if (stream == nullptr || name == nullptr || board == nullptr) return ERR_NULL;
  std::memset(board, 0, sizeof *board);
  // A buffer as long as the longest line so far: a fixture of many pieces is
  // one long line, and must not be read in pieces.
  char* line = nullptr;
  std::size_t capacity = 0;
  Result result = FIXTURE_ERR_NOT_FOUND;
  errno = 0;
  while (result == FIXTURE_ERR_NOT_FOUND && getline(&line, &capacity, stream) >= 0) {
    result = read_fixture_line(line, name, board);
  }
  if (result == FIXTURE_ERR_NOT_FOUND && errno == ENOMEM) result = ERR_ALLOC;
  if (result == FIXTURE_ERR_NOT_FOUND && std::ferror(stream)) result = ERR_READ;
  std::free(line);
  return result;
}

}  // namespace q4d
