#include "encoder/encoder_pool.h"

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace q4d {

struct EncoderPool {
  int n_threads = 1;
  std::unique_ptr<EncoderWorkspace[]> workspaces;  // [0] is the caller's
  std::vector<std::thread> workers;

  std::mutex turn;  // one encoder_pool_encode at a time
  std::mutex mutex;
  std::condition_variable work_ready;
  std::condition_variable work_done;
  std::uint64_t generation = 0;  // counts jobs; a worker runs each one once
  int busy = 0;                  // workers not yet done with the current job
  bool stopping = false;

  // The current job; set under `mutex` before `generation` moves.
  const Board4D* boards = nullptr;
  std::size_t n = 0;
  float* out = nullptr;
  std::atomic<std::size_t> next{0};
};

namespace {

// Takes boards one at a time until none is left: a board of many pieces
// costs several of few, so equal shares would not finish together.
void take_boards(EncoderPool& pool, EncoderWorkspace& workspace) {
  for (;;) {
    const std::size_t k = pool.next.fetch_add(1, std::memory_order_relaxed);
    if (k >= pool.n) return;
    (void)encode_positions(pool.boards + k, 1, pool.out + k * ENCODING_DIM, &workspace);
  }
}

void worker_main(EncoderPool* pool, int index) {
  std::uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock lock(pool->mutex);
      pool->work_ready.wait(lock, [&] { return pool->stopping || pool->generation != seen; });
      if (pool->stopping) return;
      seen = pool->generation;
    }
    take_boards(*pool, pool->workspaces[index]);
    std::lock_guard lock(pool->mutex);
    if (--pool->busy == 0) pool->work_done.notify_one();
  }
}

void stop_workers(EncoderPool* pool) {
  {
    std::lock_guard lock(pool->mutex);
    pool->stopping = true;
  }
  pool->work_ready.notify_all();
  for (std::thread& t : pool->workers) t.join();
  pool->workers.clear();
}

}  // namespace

int available_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

int encoder_pool_create(int threads, EncoderPool** pool) {
  if (pool == nullptr) return POOL_ERR_NULL;
  *pool = nullptr;
  if (threads < 0) return POOL_ERR_THREADS;
  if (threads == 0) threads = available_processors();

  auto p = std::unique_ptr<EncoderPool>(new (std::nothrow) EncoderPool);
  if (p == nullptr) return POOL_ERR_START;
  p->n_threads = threads;
  p->workspaces.reset(new (std::nothrow) EncoderWorkspace[static_cast<std::size_t>(threads)]);
  if (p->workspaces == nullptr) return POOL_ERR_START;
  try {
    p->workers.reserve(static_cast<std::size_t>(threads - 1));
    for (int i = 1; i < threads; ++i) p->workers.emplace_back(worker_main, p.get(), i);
  } catch (...) {  // std::system_error or std::bad_alloc: no more threads
    stop_workers(p.get());
    return POOL_ERR_START;
  }
  *pool = p.release();
  return POOL_OK;
}

void encoder_pool_destroy(EncoderPool* pool) {
  if (pool == nullptr) return;
  stop_workers(pool);
  delete pool;
}

int encoder_pool_threads(const EncoderPool* pool) { return pool != nullptr ? pool->n_threads : 0; }

int encoder_pool_encode(EncoderPool* pool, const Board4D* boards, std::size_t n, float* out) {
  if (pool == nullptr) return POOL_ERR_NULL;
  if (n == 0) return POOL_OK;
  if (boards == nullptr || out == nullptr) return POOL_ERR_NULL;
  std::lock_guard turn(pool->turn);
  if (pool->workers.empty() || n == 1) return encode_positions(boards, n, out, &pool->workspaces[0]);
  {
    std::lock_guard lock(pool->mutex);
    pool->boards = boards;
    pool->n = n;
    pool->out = out;
    pool->next.store(0, std::memory_order_relaxed);
    pool->busy = static_cast<int>(pool->workers.size());
    ++pool->generation;
  }
  pool->work_ready.notify_all();
  take_boards(*pool, pool->workspaces[0]);
  std::unique_lock lock(pool->mutex);
  pool->work_done.wait(lock, [&] { return pool->busy == 0; });
  return POOL_OK;
}

const char* pool_error_name(int code) {
  switch (code) {
    case POOL_OK: return "ok";
    case POOL_ERR_NULL: return "absent argument";
    case POOL_ERR_THREADS: return "negative thread count";
    case POOL_ERR_START: return "threads or their workspaces could not be had";
    default: return "unknown error";
  }
}

}  // namespace q4d
