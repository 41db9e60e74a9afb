#include "base/task_pool.h"

#include <algorithm>

#include "base/processors.h"

namespace q4d {

int task_pool_thread_limit() { return std::min(256, 4 * available_processors()); }

Result TaskPool::start(int threads) {
  threads = std::min(threads, task_pool_thread_limit());
  if (threads <= 1) return OK;
  try {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  } catch (...) {
    stop();
    return ERR_THREADS;
  }
  return OK;
}

void TaskPool::submit(std::function<void()> task) {
  if (threads_.empty()) {
    task();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  work_.notify_one();
}

void TaskPool::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

void TaskPool::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

}  // namespace q4d
