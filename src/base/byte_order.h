// Little-endian loads and stores for file formats. Every place where bytes of
// a file meet numbers goes through these: records are often unaligned in a
// file buffer, so values are copied with memcpy rather than read through a
// cast pointer, and swapped only on a big-endian host.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace q4d {

inline std::uint32_t byte_swap32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

inline std::uint16_t load_le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t load_le32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = byte_swap32(v);
  return v;
}

inline void store_le32(unsigned char* p, std::uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = byte_swap32(v);
  std::memcpy(p, &v, sizeof v);
}

inline float load_le_f32(const unsigned char* p) { return std::bit_cast<float>(load_le32(p)); }

inline void store_le_f32(unsigned char* p, float f) { store_le32(p, std::bit_cast<std::uint32_t>(f)); }

}  // namespace q4d
