// The bytes of a packed dataset, shared by its writer and its reader; not
// installed. docs/PACK_FORMAT.md describes them for other implementations.
//
//   header   16 bytes: magic "Q4PACK\r\n", version, zero
//   blocks   one zstd frame each, one after another from byte 16
//   index    the counts, one entry per block, the label names, the inputs
//   footer   32 bytes: where the index is, its CRC-32, the footer's own
//            CRC-32, magic "Q4PINDEX"
//
// A block decompresses to a 24-byte head (positions u32, entries of `pieces`
// u32, first game u64, pieces listed u32, zero u32) and its columns, one
// after another, each the values of its n positions in order (little-endian):
//
//   counts      n x u16   pieces of each position
//   removed     n x u16   entries of the previous position's list that this one
//                         leaves out, or 0xFFFF: its list is written whole
//   pieces      P x u16   square | code << 12: for each position in turn, the
//                         entries it leaves out then the entries it adds, each
//                         group in square order (or its whole list); a
//                         position is mostly the one before with a piece moved
//   ply         n x u32   difference from the previous position's (the first: from 0), mod 2^32
//   move_from   n x 4 u8  x, y, z, w
//   move_to     n x 4 u8
//   promo       n x u8
//   flags       n x u8
//   next_from   n x 4 u8  the move played from the position
//   next_to     n x 4 u8
//   next_promo  n x u8
//   move_flags  n x u8    PACK_HAS_MOVE | PACK_HAS_NEXT_MOVE
//   game_step   n x u8    1 where a position starts a game after the block's first, else 0
//   input       n x u32   index into the inputs
//   line        n x u32   difference from the previous position's, mod 2^32
//   keys        K x 4 x n bytes: each key's float32 values as four planes, byte 0 of every value first
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace q4d {

inline constexpr unsigned char PACK_MAGIC[8] = {'Q', '4', 'P', 'A', 'C', 'K', '\r', '\n'};
inline constexpr unsigned char PACK_INDEX_MAGIC[8] = {'Q', '4', 'P', 'I', 'N', 'D', 'E', 'X'};
inline constexpr std::uint32_t PACK_VERSION = 1;
inline constexpr std::size_t PACK_HEADER_SIZE = 16;
inline constexpr std::size_t PACK_FOOTER_SIZE = 32;
inline constexpr std::size_t PACK_INDEX_HEAD_SIZE = 32;   // the counts before the block entries
inline constexpr std::size_t PACK_BLOCK_ENTRY_SIZE = 24;  // offset u64, stored u32, raw u32, positions u32, CRC-32 u32
inline constexpr std::size_t PACK_BLOCK_HEAD_SIZE = 24;
inline constexpr std::uint16_t PACK_WHOLE_LIST = 0xFFFF;  // in `removed`: the list is written whole

// A block is closed after the position that takes its pieces listed to this
// many, or its size with every list written whole to PACK_BLOCK_BYTES_TARGET:
// reading one position costs a fraction of a millisecond, and a block's own
// costs vanish per position. Both stay well within the reader's caps.
inline constexpr std::size_t PACK_BLOCK_PIECES_TARGET = 128 * 1024;
inline constexpr std::size_t PACK_BLOCK_BYTES_TARGET = 768 * 1024;

// Named labels, and the bytes of a name: a key is looked up as "name":.
inline constexpr std::size_t PACK_KEYS_MAX = 64;
inline constexpr std::size_t PACK_KEY_NAME_MAX = 60;

// Bytes of a position besides its pieces and keys.
inline constexpr std::size_t PACK_POSITION_BYTES = 2 + 2 + 4 + 4 + 4 + 1 + 1 + 4 + 4 + 1 + 1 + 1 + 4 + 4;

// Where each column of a block starts, for n positions, p pieces and k keys;
// `end` is the block's decompressed size.
struct PackColumns {
  std::uint64_t counts, removed, pieces, ply, move_from, move_to, promo, flags, next_from, next_to, next_promo,
      move_flags, game_step, input, line, keys, end;
};

constexpr PackColumns pack_columns(std::uint64_t n, std::uint64_t p, std::uint64_t k) {
  PackColumns c{};
  c.counts = PACK_BLOCK_HEAD_SIZE;
  c.removed = c.counts + 2 * n;
  c.pieces = c.removed + 2 * n;
  c.ply = c.pieces + 2 * p;
  c.move_from = c.ply + 4 * n;
  c.move_to = c.move_from + 4 * n;
  c.promo = c.move_to + 4 * n;
  c.flags = c.promo + n;
  c.next_from = c.flags + n;
  c.next_to = c.next_from + 4 * n;
  c.next_promo = c.next_to + 4 * n;
  c.move_flags = c.next_promo + n;
  c.game_step = c.move_flags + n;
  c.input = c.game_step + n;
  c.line = c.input + 4 * n;
  c.keys = c.line + 4 * n;
  c.end = c.keys + 4 * k * n;
  return c;
}
static_assert(pack_columns(1, 0, 0).end == PACK_BLOCK_HEAD_SIZE + PACK_POSITION_BYTES);

// A piece in 4 bits: 1..7 white K Q R B N, pawn of the w axis, pawn of the y
// axis; 9..15 black likewise. 0 and 8 are no piece.
inline constexpr char PACK_PIECE_LETTERS[17] = "\0KQRBNPP\0kqrbnpp";

// The code of a piece letter and pawn axis (0 or 1), 0 for no piece: a table
// read for every piece packed.
inline constexpr auto PACK_PIECE_CODES = [] {
  std::array<std::array<std::uint8_t, 2>, 256> codes{};
  for (int code = 1; code < 16; ++code) {
    const auto letter = static_cast<unsigned char>(PACK_PIECE_LETTERS[code]);
    if (code == 8) continue;
    if (code % 8 == 6) {
      codes[letter][0] = static_cast<std::uint8_t>(code);  // a pawn of the w axis
    } else if (code % 8 == 7) {
      codes[letter][1] = static_cast<std::uint8_t>(code);
    } else {
      codes[letter][0] = codes[letter][1] = static_cast<std::uint8_t>(code);
    }
  }
  return codes;
}();

constexpr int pack_piece_code(int letter, int pawn_axis) { return PACK_PIECE_CODES[letter & 0xFF][pawn_axis & 1]; }
static_assert(pack_piece_code('K', 0) == 1 && pack_piece_code('P', 1) == 7 && pack_piece_code('p', 0) == 14);
static_assert(pack_piece_code('x', 0) == 0 && pack_piece_code('Q', 1) == 2);

}  // namespace q4d
