#include "position/ply_log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/byte_reader.h"
#include "position/fen4.h"
#include "position/key_scan.h"
#include "position/ply_line.h"

namespace q4d {
namespace {

constexpr std::size_t READ_SIZE = 1 << 16;  // bytes asked of the file at a time
// Lines read in one call without a position before the reader pauses: a file
// of endless lines (/dev/zero) must still let its caller see a signal.
constexpr int PAUSE_LINES = 1024;

// A ply of 0 or more; a negative one counts as absent.
bool read_ply(const char* line, std::int64_t* ply) { return find_int_key(line, "ply", ply) == OK && *ply >= 0; }

}  // namespace

bool is_metadata_line(const char* line) { return std::strstr(line, "bridge_version") != nullptr; }

Result read_ply_line(const char* line, char* fen4_buf, Board4D* board, PlyTrailer* trailer, unsigned* fields,
                     int* fen4_error) {
  if (line == nullptr || fen4_buf == nullptr || board == nullptr || trailer == nullptr || fields == nullptr ||
      fen4_error == nullptr) {
    return ERR_NULL;
  }
  *fields = 0;
  if (is_metadata_line(line)) return PLY_LOG_METADATA;
  const char* text = nullptr;
  std::size_t length = 0;
  if (const Result found = find_string_value(line, "fen4", &text, &length); found != OK) return found;
  if (length >= FEN4_BUF_SIZE) return PLY_LOG_TOO_LONG;
  std::memcpy(fen4_buf, text, length);
  fen4_buf[length] = '\0';
  *fen4_error = parse_fen4(fen4_buf, board);
  if (*fen4_error != OK) return PLY_LOG_BAD_FEN4;

  *trailer = PlyTrailer{};
  std::int64_t value = 0;
  if (read_ply(line, &value)) {
    trailer->ply = static_cast<std::uint32_t>(value);
    *fields |= LINE_HAS_PLY;
  }
  std::int64_t from[4], to[4];
  const bool has_from = find_int_array4(line, "move_from", from) == OK;
  const bool has_to = find_int_array4(line, "move_to", to) == OK;
  for (int k = 0; k < 4; ++k) {
    if (has_from) trailer->move_from[k] = static_cast<std::uint8_t>(from[k]);
    if (has_to) trailer->move_to[k] = static_cast<std::uint8_t>(to[k]);
  }
  if (has_from && has_to) *fields |= LINE_HAS_MOVE;
  if (find_int_key(line, "promo", &value) == OK) trailer->promo = static_cast<std::uint8_t>(value);
  if (find_int_key(line, "flags", &value) == OK) trailer->flags = static_cast<std::uint8_t>(value);
  return OK;
}

struct PlyLogReader {
  ByteReader* bytes = nullptr;
  PlyLogOptions options;
  std::unique_ptr<unsigned char[]> buf{new (std::nothrow) unsigned char[READ_SIZE]};
  std::size_t buf_pos = 0, buf_size = 0;
  bool ended = false;  // the file has given its last byte
  std::unique_ptr<char[]> line{new (std::nothrow) char[LINE_BUF_SIZE]};
  std::size_t line_length = 0;  // of a piece still being put together
  std::unique_ptr<char[]> fen4{new (std::nothrow) char[FEN4_BUF_SIZE]};
  std::uint64_t line_number = 0;  // pieces read, from the start of the range
  std::uint32_t positions = 0;    // positions read, from the start of the range

  // Where reading stands in the range (offsets count only when it is bounded,
  // so that pipes and compressed files can be read).
  std::int64_t offset = 0;
  bool at_line_start = true;
  bool positioned = false;             // the file is at the range's first line
  bool skipping = false;               // passing over the line that holds byte begin - 1
  std::uint32_t positions_before = 0;  // positions in the lines before `begin`
  bool positions_before_known = true;
  unsigned fields = 0;                 // of the last position's line

  ~PlyLogReader() { byte_reader_close(bytes); }
};

namespace {

// Reads the next piece of a line into r.line: OK, END at the end of the file
// (or, when `bounded`, of the range), PAUSED or a failure. A piece cut short
// by a pause is kept and finished by the next call.
Result read_piece(PlyLogReader& r, bool bounded, Failure* failure) {
  if (bounded && r.options.end >= 0 && r.line_length == 0 && r.at_line_start && r.offset >= r.options.end) {
    return END;
  }
  for (;;) {
    if (r.buf_pos == r.buf_size && !r.ended) {
      std::size_t n = 0;
      const Result read = byte_reader_read(r.bytes, r.buf.get(), READ_SIZE, &n, failure);
      if (read != OK) return read;
      r.buf_pos = 0;
      r.buf_size = n;
      r.ended = n == 0;
    }
    if (r.buf_pos == r.buf_size) {  // the file has ended
      if (r.line_length == 0) return END;
      break;  // its last line has no newline
    }
    const unsigned char* from = r.buf.get() + r.buf_pos;
    std::size_t take = std::min(r.buf_size - r.buf_pos, LINE_BUF_SIZE - 1 - r.line_length);
    const void* newline = std::memchr(from, '\n', take);
    if (newline != nullptr) take = static_cast<std::size_t>(static_cast<const unsigned char*>(newline) - from) + 1;
    std::memcpy(r.line.get() + r.line_length, from, take);
    r.line_length += take;
    r.buf_pos += take;
    r.offset += static_cast<std::int64_t>(take);
    if (newline != nullptr || r.line_length == LINE_BUF_SIZE - 1) break;
  }
  r.at_line_start = r.line[r.line_length - 1] == '\n';
  r.line[r.line_length] = '\0';
  r.line_length = 0;
  return OK;
}

// Puts the file at the first line that starts at or after `begin`.
Result start_range(PlyLogReader& r, Failure* failure) {
  const PlyLogOptions& o = r.options;
  if (!r.positioned) {
    r.positioned = true;
    if (o.begin == 0 && o.end < 0) return OK;  // the file as it comes, pipes and compressed files included
    const std::int64_t from = o.begin > 0 ? o.begin - 1 : 0;
    if (const Result sought = byte_reader_seek(r.bytes, from, failure); sought != OK) {
      r.positioned = false;
      return sought;
    }
    r.offset = from;
    r.skipping = o.begin > 0;
    r.at_line_start = !r.skipping;
  }
  // The line holding byte begin - 1 belongs to an earlier range.
  while (r.skipping) {
    const Result read = read_piece(r, false, failure);
    if (read == END) break;
    if (read != OK) return read;
    r.skipping = !r.at_line_start;
  }
  r.skipping = false;
  r.at_line_start = true;
  return OK;
}

// The positions in the lines before the range, read by a second reader.
Result count_positions_before(PlyLogReader& r, Failure* failure) {
  const std::unique_ptr<Board4D> board(new (std::nothrow) Board4D);
  if (board == nullptr) return fail(failure, ERR_ALLOC, byte_reader_path(r.bytes));
  PlyLogOptions prefix_range;
  prefix_range.end = r.options.begin;
  PlyLogReader* prefix = nullptr;
  Result result = ply_log_open(byte_reader_path(r.bytes), prefix_range, &prefix, failure);
  PlyTrailer trailer;
  while (result == OK || result == PLY_LOG_TOO_LONG || result == PLY_LOG_BAD_FEN4 || result == PAUSED) {
    result = ply_log_next(prefix, board.get(), &trailer, failure);
  }
  if (result == END) {
    r.positions_before = prefix->positions;
    r.positions_before_known = true;
    result = OK;
  }
  ply_log_close(prefix);
  return result;
}

Result start(PlyLogReader* reader, Failure* failure) {
  if (reader == nullptr) return fail(failure, ERR_NULL);
  if (reader->positioned && !reader->skipping) return OK;
  return start_range(*reader, failure);
}

}  // namespace

Result ply_log_open(const char* path, const PlyLogOptions& options, PlyLogReader** reader, Failure* failure) {
  if (path == nullptr || reader == nullptr) return fail(failure, ERR_NULL);
  *reader = nullptr;
  if (options.begin < 0 || (options.end >= 0 && options.end < options.begin) || options.end < -1) {
    return fail(failure, ERR_ARGUMENT, path);
  }
  std::unique_ptr<PlyLogReader> r(new (std::nothrow) PlyLogReader);
  if (r == nullptr || r->buf == nullptr || r->line == nullptr || r->fen4 == nullptr) {
    return fail(failure, ERR_ALLOC, path);
  }
  if (const Result opened = byte_reader_open(path, &r->bytes, failure); opened != OK) return opened;
  r->options = options;
  r->positions_before_known = options.begin == 0;
  if (options.positions_before >= 0 && options.positions_before <= UINT32_MAX) {
    r->positions_before = static_cast<std::uint32_t>(options.positions_before);
    r->positions_before_known = true;
  }
  r->line[0] = '\0';
  r->fen4[0] = '\0';
  *reader = r.release();
  return OK;
}

Result ply_log_next(PlyLogReader* reader, Board4D* board, PlyTrailer* trailer, Failure* failure) {
  if (board == nullptr || trailer == nullptr) return fail(failure, ERR_NULL);
  if (const Result started = start(reader, failure); started != OK) return started;
  PlyLogReader& r = *reader;
  for (int lines = 0; lines < PAUSE_LINES; ++lines) {
    if (const Result read = read_piece(r, true, failure); read != OK) return read;
    ++r.line_number;
    unsigned fields = 0;
    int fen4_error = 0;
    const Result read = read_ply_line(r.line.get(), r.fen4.get(), board, trailer, &fields, &fen4_error);
    if (read == PLY_LOG_TOO_LONG || read == PLY_LOG_BAD_FEN4) {
      (void)fail(failure, read, byte_reader_path(r.bytes));
      if (failure != nullptr) {
        failure->line = static_cast<std::int64_t>(r.line_number);
        failure->fen4_error = read == PLY_LOG_BAD_FEN4 ? fen4_error : 0;
      }
      return read;
    }
    if (read == PLY_LOG_METADATA && r.options.metadata) return read;
    if (read != OK) continue;
    if ((fields & LINE_HAS_PLY) == 0) {
      if (!r.positions_before_known) {
        if (const Result counted = count_positions_before(r, failure); counted != OK) return counted;
      }
      trailer->ply = r.positions_before + r.positions;
    }
    ++r.positions;
    r.fields = fields;
    return OK;
  }
  return PAUSED;
}

Result ply_log_next_line(PlyLogReader* reader, const char** line, Failure* failure) {
  if (line == nullptr) return fail(failure, ERR_NULL);
  if (const Result started = start(reader, failure); started != OK) return started;
  const Result read = read_piece(*reader, true, failure);
  if (read != OK) return read;
  ++reader->line_number;
  *line = reader->line.get();
  return OK;
}

const char* ply_log_fen4(const PlyLogReader* reader) { return reader != nullptr ? reader->fen4.get() : ""; }

const char* ply_log_line(const PlyLogReader* reader) { return reader != nullptr ? reader->line.get() : ""; }

std::uint64_t ply_log_line_number(const PlyLogReader* reader) { return reader != nullptr ? reader->line_number : 0; }

void ply_log_close(PlyLogReader* reader) { delete reader; }

unsigned ply_log_fields(const PlyLogReader* reader) { return reader->fields; }

Result ply_log_positions_before(const PlyLogReader* reader, std::uint32_t* count) {
  if (!reader->positions_before_known) return END;
  *count = reader->positions_before;
  return OK;
}

}  // namespace q4d
