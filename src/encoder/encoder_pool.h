// Encoding many boards on several threads at once.
//
// A pool owns its threads and one EncoderWorkspace per thread, made when the
// pool is created; encoding allocates nothing. Boards are independent of one
// another, so every encoding has the same bits whatever the number of threads.
#pragma once

#include <cstddef>

#include "encoding.h"  // public headers include each other by relative path

namespace q4d {

struct EncoderPool;

enum EncoderPoolResult {
  POOL_OK = 0,
  POOL_ERR_NULL = -1,
  POOL_ERR_THREADS = -2,  // a negative thread count
  POOL_ERR_START = -3,    // the threads or their workspaces could not be had
};

// The processors this process may run on (its CPU affinity), at least 1.
int available_processors();

// Creates a pool of `threads` threads in all, the calling thread included
// (0: one per available processor). Threads beyond the first wait, idle,
// for work.
[[nodiscard]] int encoder_pool_create(int threads, EncoderPool** pool);

// Stops and joins the threads and frees the pool. Null is ignored.
void encoder_pool_destroy(EncoderPool* pool);

// The number of threads that share the work, the caller's included.
[[nodiscard]] int encoder_pool_threads(const EncoderPool* pool);

// Encodes boards[0 .. n) into out as encode_positions does, the pool's
// threads and the calling thread taking boards one at a time; returns when
// every board is encoded. Calls from several threads take turns.
[[nodiscard]] int encoder_pool_encode(EncoderPool* pool, const Board4D* boards, std::size_t n, float* out);

// The meaning of an EncoderPoolResult in words; "unknown error" otherwise.
const char* pool_error_name(int code);

}  // namespace q4d
