#include "position/ply_log.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "position/fen4.h"
#include "position/key_scan.h"

namespace q4d {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A ply of 0 or more; a negative one counts as absent.
bool read_ply(const char* line, std::int64_t* ply) { return find_int_key(line, "ply", ply) == KEY_OK && *ply >= 0; }

void read_trailer(const char* line, std::uint32_t frames_written, PlyTrailer* t) {
  *t = PlyTrailer{};
  std::int64_t value = 0;
  std::int64_t square[4];
  t->ply = static_cast<std::uint32_t>(read_ply(line, &value) ? value : frames_written);
  if (find_int_array4(line, "move_from", square) == KEY_OK) {
    for (int k = 0; k < 4; ++k) t->move_from[k] = static_cast<std::uint8_t>(square[k]);
  }
  if (find_int_array4(line, "move_to", square) == KEY_OK) {
    for (int k = 0; k < 4; ++k) t->move_to[k] = static_cast<std::uint8_t>(square[k]);
  }
  if (find_int_key(line, "promo", &value) == KEY_OK) t->promo = static_cast<std::uint8_t>(value);
  if (find_int_key(line, "flags", &value) == KEY_OK) t->flags = static_cast<std::uint8_t>(value);
}

}  // namespace

const char* ndjson4_parse_integer(const char* text, std::int64_t* value) {
  constexpr std::uint64_t POS_LIMIT = INT64_MAX;
  constexpr std::uint64_t NEG_LIMIT = POS_LIMIT + 1;
  const bool negative = *text == '-';
  if (negative) ++text;
  std::uint64_t magnitude = 0;
  for (; is_digit(*text); ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    // Saturate instead of wrapping; NEG_LIMIT bounds both signs here.
    magnitude = magnitude > (NEG_LIMIT - digit) / 10 ? NEG_LIMIT : magnitude * 10 + digit;
  }
  if (negative) {
    *value = magnitude >= NEG_LIMIT ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  } else {
    *value = magnitude > POS_LIMIT ? INT64_MAX : static_cast<std::int64_t>(magnitude);
  }
  return text;
}

int find_int_key(const char* line, const char* key, std::int64_t* value) {
  if (value == nullptr) return KEY_ERR_NULL;
  const char* p = nullptr;
  const int found = find_key(line, key, &p);
  if (found != KEY_OK) return found;
  if (*p != '-' && !is_digit(*p)) return KEY_NO_VALUE;
  ndjson4_parse_integer(p, value);
  return KEY_OK;
}

int find_int_array4(const char* line, const char* key, std::int64_t values[4]) {
  if (values == nullptr) return KEY_ERR_NULL;
  const char* p = nullptr;
  const int found = find_key(line, key, &p);
  if (found != KEY_OK) return found;
  if (*p++ != '[') return KEY_NO_VALUE;
  std::int64_t read[4];
  for (int k = 0; k < 4; ++k) {
    p = skip_blanks(p);
    if (*p != '-' && !is_digit(*p)) return KEY_NO_VALUE;
    ndjson4_parse_integer(p, &read[k]);
    while (*p == '-' || is_digit(*p)) ++p;  // "1-2" is one element, read as 1
    p = skip_blanks(p);
    if (*p++ != (k < 3 ? ',' : ']')) return KEY_NO_VALUE;
  }
  std::memcpy(values, read, sizeof read);
  return KEY_OK;
}

int read_ply_line(const char* line, std::uint32_t frames_written, char* fen4_buf, Board4D* board,
                  PlyTrailer* trailer, int* fen4_error) {
  if (line == nullptr || fen4_buf == nullptr || board == nullptr || trailer == nullptr || fen4_error == nullptr) {
    return PLY_LINE_ERR_NULL;
  }
  if (std::strstr(line, "bridge_version") != nullptr) return PLY_LINE_SKIPPED;  // metadata line
  const char* text = nullptr;
  std::size_t length = 0;
  if (find_string_value(line, "fen4", &text, &length) != KEY_OK) return PLY_LINE_SKIPPED;
  if (length >= FEN4_BUF_SIZE) return PLY_LINE_TOO_LONG;
  std::memcpy(fen4_buf, text, length);
  fen4_buf[length] = '\0';
  *fen4_error = parse_fen4(fen4_buf, board);
  if (*fen4_error != OK) return PLY_LINE_BAD_FEN4;
  read_trailer(line, frames_written, trailer);
  return PLY_LINE_OK;
}

namespace {

// Reads the next piece of a line into reader->line: 1 when one was read, 0
// at the end of the stream or the range, or PLY_LOG_ERR_READ.
int read_piece(PlyLogReader* r) {
  const bool bounded = r->end >= 0;
  if (bounded && r->at_line_start && r->offset >= r->end) return 0;
  if (std::fgets(r->line, LINE_BUF_SIZE, r->stream) == nullptr) return std::ferror(r->stream) ? PLY_LOG_ERR_READ : 0;
  if (bounded) {
    // From the bytes consumed, not strlen: a line may hold NUL bytes.
    const std::int64_t now = ftello(r->stream);
    if (now < 0) return PLY_LOG_ERR_READ;
    const std::int64_t consumed = now - r->offset;
    r->at_line_start = consumed > 0 && r->line[consumed - 1] == '\n';
    r->offset = now;
  }
  return 1;
}

// Positions the stream at the first line that starts at or after `begin`.
int start_range(PlyLogReader* r) {
  if (r->end < 0 && r->begin == 0) return PLY_LOG_OK;  // the stream as it stands, pipes included
  const std::int64_t from = r->begin > 0 ? r->begin - 1 : 0;
  if (fseeko(r->stream, from, SEEK_SET) != 0) return PLY_LOG_ERR_READ;
  r->offset = from;
  if (r->begin == 0) return PLY_LOG_OK;
  // The line holding byte begin - 1 belongs to an earlier range.
  const std::int64_t end = r->end;
  r->end = INT64_MAX;
  r->at_line_start = false;
  int got = 1;
  while (got == 1 && !r->at_line_start) got = read_piece(r);
  r->end = end;
  r->at_line_start = true;
  return got < 0 ? got : PLY_LOG_OK;
}

// The positions in the lines before the range, read with a second reader on
// the same stream, which is then put back where it was.
int count_positions_before(PlyLogReader* r) {
  const std::int64_t resume = ftello(r->stream);
  if (resume < 0) return PLY_LOG_ERR_READ;
  const std::unique_ptr<Board4D> board(new (std::nothrow) Board4D);
  if (board == nullptr) return PLY_LOG_ERR_ALLOC;
  PlyLogReader prefix;
  int result = ply_log_open(&prefix, r->stream);
  if (result == PLY_LOG_OK) result = ply_log_set_range(&prefix, 0, r->begin);
  PlyTrailer trailer;
  while (result == PLY_LOG_OK || result == PLY_LOG_TOO_LONG || result == PLY_LOG_BAD_FEN4) {
    result = ply_log_next(&prefix, board.get(), &trailer);
  }
  ply_log_close(&prefix);
  if (result != PLY_LOG_END) return result;
  if (fseeko(r->stream, resume, SEEK_SET) != 0) return PLY_LOG_ERR_READ;
  r->positions_before = prefix.positions;
  r->positions_before_known = true;
  return PLY_LOG_OK;
}

}  // namespace

int ply_log_open(PlyLogReader* reader, std::FILE* stream) {
  if (reader == nullptr || stream == nullptr) return PLY_LOG_ERR_NULL;
  *reader = PlyLogReader{};
  reader->stream = stream;
  reader->line = static_cast<char*>(std::malloc(LINE_BUF_SIZE));
  reader->fen4 = static_cast<char*>(std::malloc(FEN4_BUF_SIZE));
  if (reader->line == nullptr || reader->fen4 == nullptr) {
    ply_log_close(reader);
    return PLY_LOG_ERR_ALLOC;
  }
  reader->fen4[0] = '\0';
  return PLY_LOG_OK;
}

int ply_log_set_range(PlyLogReader* reader, std::int64_t begin, std::int64_t end) {
  if (reader == nullptr) return PLY_LOG_ERR_NULL;
  if (begin < 0 || end < begin || reader->started) return PLY_LOG_ERR_RANGE;
  reader->begin = begin;
  reader->end = end;
  reader->positions_before = 0;
  reader->positions_before_known = begin == 0;
  return PLY_LOG_OK;
}

int ply_log_next(PlyLogReader* reader, Board4D* board, PlyTrailer* trailer) {
  if (reader == nullptr || reader->line == nullptr || board == nullptr || trailer == nullptr) return PLY_LOG_ERR_NULL;
  if (!reader->started) {
    reader->started = true;
    const int started = start_range(reader);
    if (started != PLY_LOG_OK) return started;
  }
  for (;;) {
    const int got = read_piece(reader);
    if (got < 0) return got;
    if (got == 0) return PLY_LOG_END;
    ++reader->line_number;
    const std::uint32_t before = reader->positions_before + reader->positions;
    const int read = read_ply_line(reader->line, before, reader->fen4, board, trailer, &reader->fen4_error);
    if (read == PLY_LINE_SKIPPED) continue;
    if (read == PLY_LINE_TOO_LONG) return PLY_LOG_TOO_LONG;
    if (read == PLY_LINE_BAD_FEN4) return PLY_LOG_BAD_FEN4;
    std::int64_t ply = 0;
    if (!reader->positions_before_known && !read_ply(reader->line, &ply)) {
      const int counted = count_positions_before(reader);
      if (counted != PLY_LOG_OK) return counted;
      trailer->ply = reader->positions_before + reader->positions;
    }
    ++reader->positions;
    return PLY_LOG_OK;
  }
}

void ply_log_close(PlyLogReader* reader) {
  if (reader == nullptr) return;
  std::free(reader->line);
  std::free(reader->fen4);
  reader->line = nullptr;
  reader->fen4 = nullptr;
}

const char* ply_log_error_name(int code) {
  switch (code) {
    case PLY_LOG_OK: return "ok";
    case PLY_LOG_ERR_NULL: return "absent argument";
    case PLY_LOG_END: return "no more lines";
    case PLY_LOG_ERR_READ: return "read error";
    case PLY_LOG_ERR_ALLOC: return "out of memory for the line buffers";
    case PLY_LOG_TOO_LONG: return "FEN4 string too long";
    case PLY_LOG_BAD_FEN4: return "FEN4 string does not parse";
    case PLY_LOG_ERR_RANGE: return "bad byte range";
    default: return "unknown error";
  }
}

}  // namespace q4d
