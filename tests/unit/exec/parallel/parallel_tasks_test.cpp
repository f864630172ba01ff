// Tasks shared out among threads: every task runs exactly once at every
// thread count, and the lowest failing task's error is the result whatever
// the threads' timing.
#include "exec/parallel/parallel_tasks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

namespace tavix {
namespace {

TEST(RunParallelTasks, RunsEveryTaskOnceAndReportsTheLowestFailure) {
  static const struct {
    size_t threads;
    size_t tasks;
    size_t fail_a, fail_b;  // tasks that fail (SIZE_MAX: none)
    Error expected;
  } cases[] = {
      {1, 10, SIZE_MAX, SIZE_MAX, Error::ok},
      {4, 1000, SIZE_MAX, SIZE_MAX, Error::ok},
      {3, 2, SIZE_MAX, SIZE_MAX, Error::ok},  // more threads than tasks
      {8, 0, SIZE_MAX, SIZE_MAX, Error::ok},
      {8, 500, 499, 7, Error::OutOfMemory},    // task 7 fails with OutOfMemory
      {8, 500, 3, 400, Error::InvalidQuery},   // task 3 with InvalidQuery
      {1, 500, 450, 20, Error::OutOfMemory},
      {16, 64, 63, SIZE_MAX, Error::InvalidQuery},
  };
  for (const auto& c : cases) {
    std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[c.tasks + 1]);
    for (size_t i = 0; i < c.tasks; ++i) runs[i] = 0;
    const Error e = runParallelTasks(c.threads, c.tasks, [&](size_t i) -> Error {
      runs[i].fetch_add(1);
      if (i == c.fail_a) return Error::InvalidQuery;
      if (i == c.fail_b) return Error::OutOfMemory;
      return Error::ok;
    });
    EXPECT_EQ(e, c.expected) << c.threads << " threads, " << c.tasks << " tasks";
    for (size_t i = 0; i < c.tasks; ++i) EXPECT_EQ(runs[i].load(), 1) << "task " << i;
  }
}

TEST(RunParallelTasks, AThrowingTaskBecomesItsError) {
  const Error e = runParallelTasks(4, 50, [](size_t i) -> Error {
    if (i == 30) throw std::bad_alloc();
    return Error::ok;
  });
  EXPECT_EQ(e, Error::OutOfMemory);
}

}  // namespace
}  // namespace tavix
