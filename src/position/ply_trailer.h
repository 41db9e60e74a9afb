// What a ply log says beside a position: its ply and the move that led to it.
// A container stores it as the last 14 bytes of each frame.
#pragma once

#include <cstdint>

namespace q4d {

struct PlyTrailer {
  std::uint32_t ply;
  std::uint8_t move_from[4];  // x, y, z, w
  std::uint8_t move_to[4];
  std::uint8_t promo;
  std::uint8_t flags;
};

}  // namespace q4d
