// Memory for batches that their users free in their own time (a Python
// array lives as long as anything refers to it). A block given back is kept
// for the next batch, so that a stream or a loop of calls does not fault in
// fresh pages, 44 MiB of them for 256 positions, for every batch.
#pragma once

#include <cstddef>

#include "base/result.h"

namespace q4d {

struct BatchMemory;

// Up to `keep` given-back blocks, of `keep_bytes` in all, are kept for reuse;
// others are freed. ERR_NULL without `memory`, ERR_ALLOC when there is no
// memory.
Result batch_memory_create(std::size_t keep, std::size_t keep_bytes, BatchMemory** memory);

// A block of at least `bytes` bytes (at least 1), aligned to 2 MiB: the
// smallest kept block that holds them, else a new one, in huge pages where
// the system offers them and with its pages faulted in ahead, in one call
// rather than one fault per page. nullptr when there is no memory.
void* batch_memory_take(BatchMemory* memory, std::size_t bytes);

// Gives back a block from batch_memory_take. Any thread may call it.
void batch_memory_give(BatchMemory* memory, void* block);

// The creator is done with `memory`: it is freed when the last block taken
// from it has been given back (at once if none is out).
void batch_memory_release(BatchMemory* memory);

}  // namespace q4d
