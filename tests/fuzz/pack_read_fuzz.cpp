// Fuzz target: the packed-dataset reader on arbitrary files.
//
// An input that starts as a pack does ("Q4PACK\r\n") is read as a file; any
// other input is the decompressed content of one block, which the target
// wraps in a pack of its own (the block compressed by zstd, an index and a
// footer with their sums right, its first byte the number of keys and the
// next four the number of games), so that every check of a block's content
// is reached. Besides the sanitizers' checks: every failure is a documented
// code naming the file (and the block); every block that reads gives lists
// in square order of real pieces within the caps, games and inputs within
// the index's counts, and columns of the index's sizes; verify succeeds only
// when every block reads.
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_order.h"
#include "dataset/pack_format.h"
#include "dataset/pack_reader.h"
#include "input_file.h"

namespace {

void put32(std::vector<unsigned char>& out, std::uint32_t v) {
  unsigned char b[4];
  q4d::store_le32(b, v);
  out.insert(out.end(), b, b + 4);
}

void put64(std::vector<unsigned char>& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v));
  put32(out, static_cast<std::uint32_t>(v >> 32));
}

std::uint32_t crc(const unsigned char* p, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

// A pack of one block whose content is `raw`, as docs/PACK_FORMAT.md lays it out.
std::vector<unsigned char> pack_around(const std::uint8_t* data, std::size_t size) {
  const std::size_t n_keys = data[0] % (q4d::PACK_KEYS_MAX + 1);
  const std::uint32_t n_games = q4d::load_le32(data + 1);
  const std::uint8_t* raw = data + 5;
  const std::size_t raw_size = std::min<std::size_t>(size - 5, q4d::PACK_BLOCK_RAW_MAX);
  const std::uint32_t n_positions = raw_size >= 4 ? q4d::load_le32(raw) : 0;

  std::vector<unsigned char> file(q4d::PACK_MAGIC, q4d::PACK_MAGIC + 8);
  put32(file, q4d::PACK_VERSION);
  put32(file, 0);
  std::vector<unsigned char> stored(ZSTD_compressBound(raw_size));
  stored.resize(ZSTD_compress(stored.data(), stored.size(), raw, raw_size, 1));
  file.insert(file.end(), stored.begin(), stored.end());

  std::vector<unsigned char> index;
  put64(index, n_positions);
  put64(index, n_games);
  put32(index, 1);
  put32(index, static_cast<std::uint32_t>(n_keys));
  put32(index, 2);
  put32(index, 0);
  put64(index, q4d::PACK_HEADER_SIZE);
  put32(index, static_cast<std::uint32_t>(stored.size()));
  put32(index, static_cast<std::uint32_t>(raw_size));
  put32(index, n_positions);
  put32(index, crc(stored.data(), stored.size()));
  for (std::size_t k = 0; k < n_keys; ++k) {
    const std::string name = "key" + std::to_string(k);
    index.push_back(k % 2);
    index.push_back(static_cast<unsigned char>(name.size()));
    index.insert(index.end(), name.begin(), name.end());
  }
  for (const char* input : {"a.ndjson4", "b.ndjson4.gz"}) {
    put32(index, static_cast<std::uint32_t>(std::strlen(input)));
    index.insert(index.end(), input, input + std::strlen(input));
  }
  const std::uint64_t index_offset = file.size();
  file.insert(file.end(), index.begin(), index.end());
  std::vector<unsigned char> footer;
  put64(footer, index_offset);
  put64(footer, index.size());
  put32(footer, crc(index.data(), index.size()));
  put32(footer, crc(footer.data(), 20));
  footer.insert(footer.end(), q4d::PACK_INDEX_MAGIC, q4d::PACK_INDEX_MAGIC + 8);
  file.insert(file.end(), footer.begin(), footer.end());
  return file;
}

bool documented(q4d::Result r) {
  return r == q4d::PACK_ERR_MAGIC || r == q4d::PACK_ERR_VERSION || r == q4d::PACK_ERR_FOOTER ||
         r == q4d::PACK_ERR_INDEX || r == q4d::PACK_ERR_BLOCK_CHECKSUM || r == q4d::PACK_ERR_BLOCK_SIZE ||
         r == q4d::PACK_ERR_BLOCK_CONTENT;
}

// The properties of a block that reads.
void check_block(const q4d::PackInfo& info, std::uint32_t k, const q4d::PackBlock& b) {
  const std::uint32_t n = b.n_positions;
  if (b.block != k || n != info.blocks[k].n_positions || b.first_position != info.blocks[k].first_position ||
      b.piece_start.size() != n + std::size_t{1} || b.piece_start[0] != 0 || b.piece_start[n] != b.pieces.size() ||
      b.pieces.size() > q4d::PACK_BLOCK_PIECES_MAX || b.trailers.size() != n || b.next_moves.size() != n ||
      b.move_flags.size() != n || b.games.size() != n || b.inputs.size() != n || b.lines.size() != n ||
      b.keys.size() != std::size_t{n} * info.keys.size()) {
    std::abort();
  }
  for (std::uint32_t j = 0; j < n; ++j) {
    if (b.piece_start[j] > b.piece_start[j + 1] || b.games[j] >= info.n_games ||
        (j > 0 && b.games[j] < b.games[j - 1]) || b.inputs[j] >= info.inputs.size() || b.move_flags[j] > 3) {
      std::abort();
    }
    int previous = -1;
    for (std::uint32_t i = b.piece_start[j]; i < b.piece_start[j + 1]; ++i) {
      const q4d::PieceWord w = b.pieces[i];
      const int letter = q4d::piece_letter(w), axis = q4d::piece_pawn_axis(w);
      if (q4d::piece_square(w) <= previous || std::strchr("KQRBNPkqrbnp", letter) == nullptr || letter == 0 ||
          axis > 1 || (axis == 1 && letter != 'P' && letter != 'p')) {
        std::abort();
      }
      previous = q4d::piece_square(w);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const q4d::fuzz::InputFile input("pack_read");
  const bool as_file = size >= 8 && std::memcmp(data, q4d::PACK_MAGIC, 8) == 0;
  if (as_file) {
    input.write(data, size);
  } else {
    if (size < 5) return 0;
    const std::vector<unsigned char> file = pack_around(data, size);
    input.write(file.data(), file.size());
  }
  const int descriptors = q4d::fuzz::open_descriptors();

  q4d::PackReader* reader = nullptr;
  q4d::Failure failure;
  const q4d::Result opened = q4d::pack_open(input.path.c_str(), &reader, &failure);
  if (opened != q4d::OK) {
    if (!documented(opened) || reader != nullptr || failure.path != input.path) std::abort();
  } else {
    const q4d::PackInfo& info = *q4d::pack_info(reader);
    bool all_read = true;
    q4d::PackBlock block;
    for (std::uint32_t k = 0; k < info.blocks.size(); ++k) {
      const q4d::Result read = q4d::pack_read_block(reader, k, &block, &failure);
      if (read == q4d::OK) {
        check_block(info, k, block);
      } else if (!documented(read) || failure.block != k || failure.path != input.path) {
        std::abort();
      } else {
        all_read = false;
      }
    }
    const q4d::Result verified = q4d::pack_verify(reader, &failure);
    if ((verified == q4d::OK && !all_read) || (verified != q4d::OK && !documented(verified))) std::abort();
    q4d::pack_close(reader);
  }
  if (q4d::fuzz::open_descriptors() != descriptors) std::abort();
  return 0;
}
