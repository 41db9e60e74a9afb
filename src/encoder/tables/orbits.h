// Orbits of the board's 384 symmetries (axis permutations and mirrors).
//
// A square's orbit key is its four folded coordinates min(c, 7 - c), sorted
// ascending; two squares share an orbit exactly when their keys are equal.
// Orbits are numbered 0..34 in ascending lexicographic order of their keys.
#pragma once

#include <array>
#include <cstdint>

#include "encoder/encoding.h"

namespace q4d {

constexpr int fold_coord(int c) { return c < 7 - c ? c : 7 - c; }

// The key of square s packed as a*64 + b*16 + c*4 + d, with a <= b <= c <= d.
constexpr int orbit_key(int s) {
  int f[4];
  for (int axis = 0; axis < 4; ++axis) f[axis] = fold_coord(square_coord(s, axis));
  for (int i = 1; i < 4; ++i) {  // insertion sort of four values
    for (int j = i; j > 0 && f[j - 1] > f[j]; --j) {
      const int t = f[j];
      f[j] = f[j - 1];
      f[j - 1] = t;
    }
  }
  return f[0] * 64 + f[1] * 16 + f[2] * 4 + f[3];
}

struct OrbitTables {
  std::array<std::uint8_t, N_SQUARES> square_orbit;        // orbit index of each square
  std::array<std::uint16_t, N_SQUARES> orbit_members;      // squares of orbit 0, then 1, ...; ascending within each
  std::array<std::uint16_t, N_ORBITS + 1> orbit_offsets;   // orbit i is members[offsets[i] .. offsets[i+1])
  std::array<double, N_ORBITS> orbit_weights;              // 1.0 / orbit size, rounded to nearest
};

inline constexpr OrbitTables orbit_tables = [] {
  OrbitTables t{};
  // Keys in ascending order are the sorted 4-multisets of 0..3.
  std::array<int, 256> index_of_key{};
  int n = 0;
  for (int a = 0; a < 4; ++a)
    for (int b = a; b < 4; ++b)
      for (int c = b; c < 4; ++c)
        for (int d = c; d < 4; ++d) index_of_key[a * 64 + b * 16 + c * 4 + d] = n++;

  std::array<int, N_ORBITS> size{};
  for (int s = 0; s < N_SQUARES; ++s) {
    t.square_orbit[s] = static_cast<std::uint8_t>(index_of_key[orbit_key(s)]);
    ++size[t.square_orbit[s]];
  }
  t.orbit_offsets[0] = 0;
  for (int i = 0; i < N_ORBITS; ++i) {
    t.orbit_offsets[i + 1] = static_cast<std::uint16_t>(t.orbit_offsets[i] + size[i]);
    t.orbit_weights[i] = 1.0 / size[i];
  }
  std::array<int, N_ORBITS> fill{};
  for (int s = 0; s < N_SQUARES; ++s) {
    const int i = t.square_orbit[s];
    t.orbit_members[t.orbit_offsets[i] + fill[i]++] = static_cast<std::uint16_t>(s);
  }
  return t;
}();

static_assert(orbit_tables.orbit_offsets[N_ORBITS] == N_SQUARES, "orbit sizes must add up to 4096");
static_assert(orbit_tables.orbit_offsets[14] == 1712 && orbit_tables.orbit_members[1712] == 83);

}  // namespace q4d
