#include "main_4d/fixture_reader.h"

#include <cstring>

namespace q4d {
namespace {

const char* skip_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

bool names_fixture(const char* line, const char* name) {
  const char* key = std::strstr(line, "\"name\":");
  if (key == nullptr) return false;
  const char* p = skip_blanks(key + std::strlen("\"name\":"));
  if (*p != '"') return false;
  ++p;
  const char* end = std::strchr(p, '"');
  if (end == nullptr) return false;
  char stored[FIXTURE_NAME_MAX + 1];
  const std::size_t length = std::min<std::size_t>(static_cast<std::size_t>(end - p), FIXTURE_NAME_MAX);
  std::memcpy(stored, p, length);
  stored[length] = '\0';
  return std::strncmp(stored, name, FIXTURE_NAME_MAX) == 0;
}

// Parses the entries of a pieces object from just after its "{".
int parse_pieces(const char* p, bool cut, Board4D* board) {
  std::memset(board, 0, sizeof *board);
  for (;;) {
    // The end of the text closes the object, unless the line goes on in the
    // next piece: then the object is cut and must not encode half a position.
    if (*p == '\0') return cut ? FIXTURE_MALFORMED : FIXTURE_FOUND;
    if (*p == '}') return FIXTURE_FOUND;
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    if (*p == '}') return FIXTURE_FOUND;
    if (*p != '"') return FIXTURE_MALFORMED;
    ++p;

    unsigned square = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      square = square * 10 + static_cast<unsigned>(*p - '0');
      if (square >= N_SQUARES) return FIXTURE_MALFORMED;  // checked per digit: no wrap-around
    }
    if (*p != '"') return FIXTURE_MALFORMED;
    p = skip_blanks(p + 1);
    if (*p != ':') return FIXTURE_MALFORMED;
    p = skip_blanks(p + 1);
    if (*p != '"') return FIXTURE_MALFORMED;
    ++p;

    const char letter = *p;
    if (letter == '\0' || letter == '"') return FIXTURE_MALFORMED;
    board->pieces[square] = static_cast<std::uint8_t>(letter);
    ++p;
    if (*p == '"') {
      ++p;
      continue;
    }
    // A pawn with its axis; the axis byte is checked before the one after it.
    if (letter != 'P' && letter != 'p') return FIXTURE_MALFORMED;
    if (*p != 'w' && *p != 'y') return FIXTURE_MALFORMED;
    if (p[1] != '"') return FIXTURE_MALFORMED;
    board->pawn_axis[square] = *p == 'y' ? PAWN_AXIS_Y : PAWN_AXIS_W;
    p += 2;
  }
}

}  // namespace

int read_fixture_line(const char* line, bool cut, const char* name, Board4D* board) {
  if (line == nullptr || name == nullptr || board == nullptr) return FIXTURE_ERR_NULL;
  if (!names_fixture(line, name)) return FIXTURE_NOT_FOUND;
  const char* key = std::strstr(line, "\"pieces\":");
  if (key == nullptr) return FIXTURE_NO_PIECES;
  const char* p = skip_blanks(key + std::strlen("\"pieces\":"));
  if (*p != '{') return FIXTURE_NO_PIECES;
  return parse_pieces(p + 1, cut, board);
}

int read_fixture(std::FILE* stream, const char* name, Board4D* board) {
  if (stream == nullptr || name == nullptr || board == nullptr) return FIXTURE_ERR_NULL;
  std::memset(board, 0, sizeof *board);
  char line[FIXTURE_LINE_BUF_SIZE];
  while (std::fgets(line, sizeof line, stream) != nullptr) {
    const std::size_t length = std::strlen(line);
    bool cut = false;
    if (length == sizeof line - 1 && line[length - 1] != '\n') {
      const int next = std::getc(stream);
      cut = next != EOF;
      if (cut) std::ungetc(next, stream);
    }
    const int result = read_fixture_line(line, cut, name, board);
    if (result != FIXTURE_NOT_FOUND) return result;
  }
  return FIXTURE_NOT_FOUND;
}

}  // namespace q4d
