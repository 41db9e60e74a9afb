// FEN4 v1: the one-line text notation of a position.
//
//   text   := ws* "4d-fen v1:" ws* [ entry ( ws* ";" ws* entry )* ( ws* ";" )? ] ws* NUL
//   entry  := piece ws* "@" ws* coords
//   piece  := K | Q | R | B | N | k | q | r | b | n
//           | ( P | p ) [ "/" ] ( w | y )          -- pawns name their axis
//   coords := d "," d "," d "," d                  -- x,y,z,w, each digit 0..7
//   ws     := TAB | LF | CR | SPACE                 -- nothing else (no VT, no FF)
//
// Example: "4d-fen v1: K@0,0,0,4; P/w@1,0,0,4; py@6,7,7,3"
#pragma once

#include <cstddef>

#include "../base/result.h"  // public headers include each other by relative path
#include "board.h"

namespace q4d {

// Parses a NUL-terminated FEN4 v1 text into `board`, which is cleared first
// whenever both arguments are present. Returns OK or the first error in text
// order (ERR_NULL, or FEN4_ERR_PREFIX ... FEN4_ERR_SEPARATOR of result.h);
// after an error the board holds the entries read before it. Never reads
// past the terminating NUL.
Result parse_fen4(const char* text, Board4D* board);

// The same for a text of `length` bytes with a NUL after them (as strings of
// other languages are stored), which may hold NUL bytes itself: a NUL among
// the `length` bytes is an ordinary byte, which no rule accepts, so a text is
// never cut short by one.
Result parse_fen4_text(const char* text, std::size_t length, Board4D* board);

}  // namespace q4d
