// A pool of threads for independent tasks, shared by the library's writers
// (the packer's parsing and compression, the gzip block writer). The encoder
// keeps a pool of its own, whose threads own their workspaces.
//
// Tasks start in the order submitted, each on some thread of the pool; a pool
// of no thread (one or none asked) runs each task on the submitter's thread
// as it is submitted. A task says it is done through finish(), under the
// pool's lock, which wait() and check() look at: callers keep their own flags.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "result.h"

namespace q4d {

// The most threads a pool starts, whatever is asked: more would only take
// turns on the processors (4 per processor, at most 256).
int task_pool_thread_limit();

class TaskPool {
 public:
  TaskPool() = default;
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;
  // Runs what is queued, then stops the threads.
  ~TaskPool() { stop(); }

  // Starts min(threads, task_pool_thread_limit()) threads, none when
  // threads <= 1; ERR_THREADS when the system will not start them.
  Result start(int threads);

  // The threads started: 0 when tasks run on the submitter's thread.
  int threads() const { return static_cast<int>(threads_.size()); }
  bool runs_inline() const { return threads_.empty(); }

  // Queues `task`, or runs it now on a pool of no thread. Throws
  // std::bad_alloc, queueing nothing, when memory runs out.
  void submit(std::function<void()> task);

  // Waits until `ready()`, which tasks make true by way of finish().
  template <class Ready>
  void wait(Ready ready) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, ready);
  }
  // Whether `ready()`, looked at under the pool's lock.
  template <class Ready>
  bool check(Ready ready) {
    std::lock_guard lock(mutex_);
    return ready();
  }
  // Runs `mark` under the pool's lock and wakes the waiters: how a task says it is done.
  template <class Mark>
  void finish(Mark mark) {
    {
      std::lock_guard lock(mutex_);
      mark();
    }
    done_.notify_all();
  }

 private:
  void work();
  void stop();

  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
};

}  // namespace q4d
