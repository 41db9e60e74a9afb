// The shared task pool: every task runs once, on the pool's threads or, for
// a pool of none, at once on the caller's; a pool never starts more threads
// than its limit, however many are asked for.
#include "base/task_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "base/processors.h"

namespace q4d {
namespace {

TEST(TaskPool, RunsEveryTaskOnceOnAtMostItsLimitOfThreads) {
  for (const int asked : {0, 1, 3, 100000}) {
    TaskPool pool;
    ASSERT_EQ(pool.start(asked), OK);
    EXPECT_EQ(pool.threads(), asked <= 1 ? 0 : std::min(asked, task_pool_thread_limit())) << asked;
    std::vector<int> runs(500, 0);
    std::vector<std::thread::id> ran_on(runs.size());
    int done = 0;
    for (std::size_t k = 0; k < runs.size(); ++k) {
      pool.submit([&, k] {
        ++runs[k];
        ran_on[k] = std::this_thread::get_id();
        pool.finish([&] { ++done; });
      });
    }
    pool.wait([&] { return done == static_cast<int>(runs.size()); });
    EXPECT_EQ(runs, std::vector<int>(runs.size(), 1));
    if (pool.runs_inline()) {
      EXPECT_EQ(ran_on.back(), std::this_thread::get_id());
    }
  }
  EXPECT_LE(task_pool_thread_limit(), 256);
  EXPECT_GE(task_pool_thread_limit(), std::min(256, available_processors()));
}

}  // namespace
}  // namespace q4d
