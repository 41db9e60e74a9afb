#include "encoder/encoder_pool.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "base/processors.h"
#include "base/task_pool.h"

namespace q4d {
namespace {

// How long an idle thread keeps looking for the next job before it sleeps:
// longer than the gap between the batches of a caller's loop, so that a
// small batch does not pay for waking threads (tens of microseconds on a
// virtual machine). Between looks it offers its processor to anything else
// that wants it: on a loaded machine a busy loop took the time of the very
// threads it waited for (8 positions took 1.7 times as long on 2 threads as
// on 1; with yielding looks at most as long, as without spinning). More
// threads than processors do not spin at all.
constexpr auto SPIN = std::chrono::microseconds(200);

struct Worker {
  std::thread thread;
  std::unique_ptr<EncoderWorkspace> workspace;
};

}  // namespace

struct EncoderPool {
  std::unique_ptr<EncoderWorkspace> caller_workspace;
  std::vector<std::unique_ptr<Worker>> workers;  // worker i runs while i < running
  std::mutex turn;  // one job or resize at a time

  // A job is published by moving `generation`; a worker spins on it, then
  // sleeps on `wake`. Its last worker to finish wakes the caller if asleep.
  std::atomic<std::uint64_t> generation{0};
  std::atomic<int> busy{0};  // workers not yet done with the current job
  std::mutex sleep;
  std::condition_variable wake;
  std::condition_variable done;
  int sleepers = 0;
  bool caller_asleep = false;
  std::atomic<bool> spins{false};  // for SPIN, or not at all

  // The current job; set before `generation` moves. Workers at or beyond
  // `running` leave instead of taking part.
  int running = 0;
  const Board4D* boards = nullptr;
  std::size_t n = 0;
  unsigned char* out = nullptr;
  EncodingFormat format;
  std::atomic<std::size_t> next{0};
};

namespace {

// Looks at `ready()` for SPIN at most (or once when the pool's threads do not
// spin); true when it became so.
template <class Ready>
bool spin_until(const EncoderPool& pool, Ready ready) {
  if (ready()) return true;
  if (!pool.spins.load(std::memory_order_relaxed)) return false;
  const auto deadline = std::chrono::steady_clock::now() + SPIN;
  do {
    sched_yield();
    if (ready()) return true;
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// Takes boards one at a time until none is left: a board of many pieces
// costs several of few, so equal shares would not finish together.
void take_boards(EncoderPool& pool, EncoderWorkspace& workspace) {
  const std::size_t stride = encoding_bytes(pool.format.dtype);
  for (;;) {
    const std::size_t k = pool.next.fetch_add(1, std::memory_order_relaxed);
    if (k >= pool.n) return;
    (void)encode_positions(pool.boards + k, 1, pool.out + k * stride, &workspace, pool.format);
  }
}

std::uint64_t wait_for_job(EncoderPool& pool, std::uint64_t seen) {
  auto moved = [&] { return pool.generation.load(std::memory_order_acquire) != seen; };
  if (!spin_until(pool, moved)) {
    std::unique_lock lock(pool.sleep);
    ++pool.sleepers;
    pool.wake.wait(lock, moved);
    --pool.sleepers;
  }
  return pool.generation.load(std::memory_order_acquire);
}

void worker_main(EncoderPool* pool, int index, std::uint64_t seen) {
  for (;;) {
    seen = wait_for_job(*pool, seen);
    const bool leaving = index >= pool->running;
    if (!leaving) take_boards(*pool, *pool->workers[static_cast<std::size_t>(index)]->workspace);
    if (pool->busy.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard lock(pool->sleep);
      if (pool->caller_asleep) pool->done.notify_one();
    }
    if (leaving) return;
  }
}

// Runs the job set in `pool` on every worker and the calling thread, the
// workers at or beyond `running` leaving; returns when all are done.
void run_job(EncoderPool& pool) {
  const int workers = static_cast<int>(pool.workers.size());
  pool.next.store(0, std::memory_order_relaxed);
  pool.busy.store(workers, std::memory_order_relaxed);
  bool wake = false;
  {
    // Moved under the lock, so that a worker about to sleep sees it.
    std::lock_guard lock(pool.sleep);
    pool.generation.fetch_add(1, std::memory_order_release);
    wake = pool.sleepers > 0;
  }
  if (wake) pool.wake.notify_all();
  take_boards(pool, *pool.caller_workspace);
  auto finished = [&] { return pool.busy.load(std::memory_order_acquire) == 0; };
  if (!spin_until(pool, finished)) {
    std::unique_lock lock(pool.sleep);
    pool.caller_asleep = true;
    pool.done.wait(lock, finished);
    pool.caller_asleep = false;
  }
}

// Stops workers from `count` on (their job: leave) and joins them.
void stop_workers_from(EncoderPool& pool, int count) {
  if (count >= static_cast<int>(pool.workers.size())) return;
  pool.running = count;
  pool.n = 0;
  run_job(pool);
  for (std::size_t i = static_cast<std::size_t>(count); i < pool.workers.size(); ++i) pool.workers[i]->thread.join();
  pool.workers.resize(static_cast<std::size_t>(count));
}

// Starts workers until there are `count`; stops at the first that cannot be had.
Result start_workers(EncoderPool& pool, int count) {
  try {
    pool.workers.reserve(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    return ERR_ALLOC;
  }
  while (static_cast<int>(pool.workers.size()) < count) {
    auto worker = std::unique_ptr<Worker>(new (std::nothrow) Worker);
    if (worker == nullptr) return ERR_ALLOC;
    worker->workspace.reset(new (std::nothrow) EncoderWorkspace);
    if (worker->workspace == nullptr) return ERR_ALLOC;
    const int index = static_cast<int>(pool.workers.size());
    pool.running = index + 1;
    try {
      worker->thread = std::thread(worker_main, &pool, index, pool.generation.load(std::memory_order_relaxed));
    } catch (const std::system_error&) {
      pool.running = index;
      return ERR_THREADS;
    }
    pool.workers.push_back(std::move(worker));  // reserved: cannot throw
  }
  return OK;
}

Result check_threads(int* threads, int limit) {
  if (*threads < 0 || *threads > limit) return ERR_ARGUMENT;
  if (*threads == 0) *threads = std::min(available_processors(), limit);
  return OK;
}

Result resize_locked(EncoderPool& pool, int threads) {
  stop_workers_from(pool, threads - 1);
  pool.spins.store(threads <= available_processors(), std::memory_order_relaxed);
  return start_workers(pool, threads - 1);
}

}  // namespace

Result encoder_pool_create(int threads, EncoderPool** pool) {
  if (pool == nullptr) return ERR_NULL;
  *pool = nullptr;
  if (const Result r = check_threads(&threads, MAX_POOL_THREADS); r != OK) return r;
  auto p = std::unique_ptr<EncoderPool>(new (std::nothrow) EncoderPool);
  if (p == nullptr) return ERR_ALLOC;
  p->caller_workspace.reset(new (std::nothrow) EncoderWorkspace);
  if (p->caller_workspace == nullptr) return ERR_ALLOC;
  if (const Result r = resize_locked(*p, threads); r != OK) {
    stop_workers_from(*p, 0);
    return r;
  }
  *pool = p.release();
  return OK;
}

void encoder_pool_destroy(EncoderPool* pool) {
  if (pool == nullptr) return;
  {
    std::lock_guard turn(pool->turn);
    stop_workers_from(*pool, 0);
  }
  delete pool;
}

int encoder_pool_threads(const EncoderPool* pool) {
  return pool != nullptr ? static_cast<int>(pool->workers.size()) + 1 : 0;
}

Result encoder_pool_resize(EncoderPool* pool, int threads) {
  if (pool == nullptr) return ERR_NULL;
  if (const Result r = check_threads(&threads, MAX_POOL_THREADS); r != OK) return r;
  std::lock_guard turn(pool->turn);
  return resize_locked(*pool, threads);
}

Result encoder_pool_encode(EncoderPool* pool, const Board4D* boards, std::size_t n, void* out, EncodingFormat format) {
  if (pool == nullptr) return ERR_NULL;
  if (format.dtype != DTYPE_FLOAT32 && format.dtype != DTYPE_BFLOAT16) return ERR_ARGUMENT;
  if (n == 0) return OK;
  if (boards == nullptr || out == nullptr) return ERR_NULL;
  std::lock_guard turn(pool->turn);
  if (pool->workers.empty() || n == 1) return encode_positions(boards, n, out, pool->caller_workspace.get(), format);
  pool->running = static_cast<int>(pool->workers.size());
  pool->boards = boards;
  pool->n = n;
  pool->out = static_cast<unsigned char*>(out);
  pool->format = format;
  run_job(*pool);
  return OK;
}

int shared_pool_thread_limit() { return task_pool_thread_limit(); }

namespace {

struct SharedPool {
  std::mutex mutex;
  EncoderPool* pool = nullptr;
  pid_t owner = 0;
};

SharedPool& shared_pool() {
  static SharedPool* shared = [] {
    auto* s = new SharedPool;  // never freed: worker threads may outlive static destructors
    // A fork while another thread holds the mutex would leave it held in the
    // child for ever: the fork waits for it instead.
    pthread_atfork([] { shared_pool().mutex.lock(); }, [] { shared_pool().mutex.unlock(); },
                   [] { shared_pool().mutex.unlock(); });
    return s;
  }();
  return *shared;
}

}  // namespace

Result shared_encoder_pool(int threads, EncoderPool** pool) {
  if (pool == nullptr) return ERR_NULL;
  *pool = nullptr;
  if (const Result r = check_threads(&threads, shared_pool_thread_limit()); r != OK) return r;
  SharedPool& shared = shared_pool();
  std::lock_guard lock(shared.mutex);
  if (shared.pool != nullptr && shared.owner != getpid()) {
    // Inherited through fork: its threads stayed in the parent, and its locks
    // may be held by them. Only its workspaces are taken back.
    shared.pool->caller_workspace.reset();
    for (auto& worker : shared.pool->workers) worker->workspace.reset();
    shared.pool = nullptr;
  }
  if (shared.pool == nullptr) {
    if (const Result r = encoder_pool_create(threads, &shared.pool); r != OK) return r;
    shared.owner = getpid();
  } else if (const Result r = encoder_pool_resize(shared.pool, threads); r != OK) {
    return r;
  }
  *pool = shared.pool;
  return OK;
}

}  // namespace q4d
