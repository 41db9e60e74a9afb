// Batch memory: blocks come back for reuse, the smallest that fits first,
// within the bounds of what is kept, and outlive their creator's release.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "base/batch_memory.h"

namespace q4d {
namespace {

constexpr std::size_t MIB = std::size_t{1} << 20;

TEST(BatchMemory, GivenBackBlocksAreReused) {
  BatchMemory* memory = nullptr;
  ASSERT_EQ(batch_memory_create(2, 16 * MIB, &memory), OK);
  void* small = batch_memory_take(memory, 1000);
  void* large = batch_memory_take(memory, 5 * MIB);
  void* third = batch_memory_take(memory, 1000);
  ASSERT_NE(small, nullptr);
  ASSERT_NE(large, nullptr);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large) % (2 * MIB), 0u);
  std::memset(large, 1, 5 * MIB);  // every byte asked for is there
  batch_memory_give(memory, large);
  batch_memory_give(memory, small);
  batch_memory_give(memory, third);  // two blocks are kept: this one is freed
  EXPECT_EQ(batch_memory_take(memory, 100), small);  // the smallest that holds the bytes
  EXPECT_EQ(batch_memory_take(memory, 3 * MIB), large);
  void* fresh = batch_memory_take(memory, 100);  // none kept: a new one
  EXPECT_NE(fresh, nullptr);
  batch_memory_give(memory, fresh);
  batch_memory_give(memory, nullptr);  // ignored, as is a block of another memory
  int elsewhere = 0;
  batch_memory_give(memory, &elsewhere);
  // Released while blocks are out: freed when they come back (a leak checker
  // would see anything left behind).
  batch_memory_release(memory);
  batch_memory_give(memory, large);
  batch_memory_give(memory, small);
}

TEST(BatchMemory, KeepsNoMoreBytesThanAsked) {
  BatchMemory* memory = nullptr;
  ASSERT_EQ(batch_memory_create(4, 4 * MIB, &memory), OK);
  void* a = batch_memory_take(memory, 3 * MIB);  // 4 MiB of huge pages
  void* b = batch_memory_take(memory, 1);
  batch_memory_give(memory, b);  // 2 MiB kept
  batch_memory_give(memory, a);  // 4 more would pass the bound: freed
  EXPECT_EQ(batch_memory_take(memory, 1), b);
  void* c = batch_memory_take(memory, 3 * MIB);  // a new block
  EXPECT_NE(c, nullptr);
  batch_memory_release(memory);
  batch_memory_give(memory, b);
  batch_memory_give(memory, c);
  EXPECT_EQ(batch_memory_create(1, 1, nullptr), ERR_NULL);
}

}  // namespace
}  // namespace q4d
