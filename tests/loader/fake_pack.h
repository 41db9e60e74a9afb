// An in-memory packed dataset for the loader's tests (fake_pack.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "dataset/pack_reader.h"
#include "position/board.h"

namespace q4d::test {

// Positions first .. first + n - 1 in blocks of block_size, opened by pack_open(path).
void register_fake_pack(const std::string& path, std::uint64_t first, std::uint64_t n, std::uint32_t block_size);

// The board of position p.
Board4D fake_board(std::uint64_t p);

}  // namespace q4d::test
