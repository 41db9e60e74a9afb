// Memory for batches that their users free in their own time (a Python
// array lives as long as anything refers to it). A block given back is kept
// for the next batch, so a stream does not fault in fresh pages, 44 MiB of
// them for 256 positions, for every batch.
#pragma once

#include <cstddef>

namespace q4d {

struct BatchMemory;

// Blocks of `bytes` bytes, aligned to 2 MiB and in huge pages where the
// system offers them; up to `keep` given-back blocks are kept for reuse,
// others are freed.
[[nodiscard]] int batch_memory_create(std::size_t bytes, std::size_t keep, BatchMemory** memory);

// A block: a kept one, else a new one; nullptr when there is no memory.
void* batch_memory_take(BatchMemory* memory);

// Gives back a block from batch_memory_take. Any thread may call it.
void batch_memory_give(BatchMemory* memory, void* block);

// The creator is done with `memory`: it is freed when the last block taken
// from it has been given back (at once if none is out).
void batch_memory_release(BatchMemory* memory);

}  // namespace q4d
