// Boards and small helpers shared by the encoder tests.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>

#include "encoder/encoding.h"
#include "position/board.h"

namespace q4d::test {

struct Placement {
  int square;
  char letter;
  std::uint8_t axis = PAWN_AXIS_W;
};

inline Board4D make_board(std::initializer_list<Placement> placements) {
  Board4D board{};
  for (const Placement& p : placements) {
    board.pieces[p.square] = static_cast<std::uint8_t>(p.letter);
    board.pawn_axis[p.square] = p.axis;
  }
  return board;
}

inline std::uint32_t float_bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Encodings are 176 KiB; keep them off the stack.
inline std::unique_ptr<EncodingVector> encode(const Board4D& board) {
  auto out = std::make_unique<EncodingVector>();
  encode_position(board, *out);
  return out;
}

// A position of n pieces on distinct squares, in a mix like real play: about
// half pawns of both axes, then minor and major pieces of both colours.
inline Board4D random_board(std::mt19937& rng, int n_pieces) {
  static constexpr char LETTERS[] = "PPPPPPPPppppppppNNnnBBbbRRrrQqKk";
  // Plain modulo of the generator's output: the engine's sequence is the same
  // in every standard library, the distributions' are not.
  Board4D board{};
  for (int placed = 0; placed < n_pieces;) {
    const int s = static_cast<int>(rng() % N_SQUARES);
    if (board.pieces[s] != 0) continue;
    const char c = LETTERS[rng() % (sizeof LETTERS - 1)];
    board.pieces[s] = static_cast<std::uint8_t>(c);
    if (c == 'P' || c == 'p') board.pawn_axis[s] = static_cast<std::uint8_t>(rng() & 1);
    ++placed;
  }
  return board;
}

// A position of n pieces as the benchmarks' realistic mix: a third pawns,
// W-axis and Y-axis alike, and the rest spread evenly over the other five
// kinds, both colours of every kind, on random distinct squares.
inline Board4D realistic_board(std::mt19937& rng, int n_pieces) {
  static constexpr char OTHERS[] = "NnBbRrQqKk";
  Board4D board{};
  const int n_pawns = n_pieces / 3;
  for (int placed = 0; placed < n_pieces;) {
    const int s = static_cast<int>(rng() % N_SQUARES);
    if (board.pieces[s] != 0) continue;
    if (placed < n_pawns) {
      board.pieces[s] = static_cast<std::uint8_t>(placed % 2 == 0 ? 'P' : 'p');
      board.pawn_axis[s] = static_cast<std::uint8_t>((placed / 2) % 2);
    } else {
      board.pieces[s] = static_cast<std::uint8_t>(OTHERS[(placed - n_pawns) % (sizeof OTHERS - 1)]);
    }
    ++placed;
  }
  return board;
}

// The FEN4 text of a board, every token form in turn.
inline std::string fen4_of(const Board4D& board) {
  std::string text = "4d-fen v1:";
  int k = 0;
  for (int s = 0; s < N_SQUARES; ++s) {
    const char c = static_cast<char>(board.pieces[s]);
    if (c == 0) continue;
    text += k++ > 0 ? "; " : " ";
    text += c;
    if (c == 'P' || c == 'p') text += std::string(k % 2 ? "/" : "") + (board.pawn_axis[s] ? 'y' : 'w');
    for (int axis = 0; axis < 4; ++axis) text += std::string(axis ? "," : "@") + char('0' + square_coord(s, axis));
  }
  return text;
}

// Element-wise identity of two encodings, signed zeros included.
inline bool same_bits(const EncodingVector& a, const EncodingVector& b) {
  return std::memcmp(a.data(), b.data(), sizeof a) == 0;
}

}  // namespace q4d::test
