// Encoding many boards on several threads at once.
//
// A pool owns its threads and one EncoderWorkspace per thread, made when the
// pool is created or grown; encoding allocates nothing. Boards are
// independent of one another, so every encoding has the same bits whatever
// the number of threads.
#pragma once

#include <cstddef>

#include "../base/result.h"  // public headers include each other by relative path
#include "encoding.h"

namespace q4d {

struct EncoderPool;

// The most threads a pool may have.
inline constexpr int MAX_POOL_THREADS = 1024;

// Creates a pool of `threads` threads in all, the calling thread included
// (0: one per available processor). Threads beyond the first wait for work,
// spinning for a moment after each job and then asleep. ERR_ARGUMENT for a
// count below 0 or above MAX_POOL_THREADS, ERR_THREADS or ERR_ALLOC when the
// threads or their workspaces cannot be had.
Result encoder_pool_create(int threads, EncoderPool** pool);

// Stops and joins the threads and frees the pool. Null is ignored.
void encoder_pool_destroy(EncoderPool* pool);

// The number of threads that share the work, the caller's included.
int encoder_pool_threads(const EncoderPool* pool);

// Starts or stops threads until the pool has `threads` (0: one per available
// processor), waiting for a job in progress to end. On failure the pool keeps
// the threads it has and stays usable.
Result encoder_pool_resize(EncoderPool* pool, int threads);

// Encodes boards[0 .. n) into `out` as encode_positions does with `format`,
// the pool's threads and the calling thread taking boards one at a time;
// returns when every board is encoded. Calls from several threads take turns.
Result encoder_pool_encode(EncoderPool* pool, const Board4D* boards, std::size_t n, void* out,
                           EncodingFormat format = {});

// The process's shared pool, for callers that encode a batch now and then on
// a thread count they choose per call (the Python package): one pool for the
// whole process, grown or shrunk to `threads` (0: one per available
// processor), and made anew in a child process after fork. ERR_ARGUMENT for
// a count below 0 or above shared_pool_thread_limit(). The pool stays the
// process's: never destroy it. Another caller may resize it between this call
// and an encoding, which changes only how fast that encoding goes.
Result shared_encoder_pool(int threads, EncoderPool** pool);

// The most threads the shared pool takes: 4 per available processor, at most
// 256. More would only share the same processors.
int shared_pool_thread_limit();

}  // namespace q4d
