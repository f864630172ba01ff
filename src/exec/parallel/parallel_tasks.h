// A list of independent tasks run by a few threads at once, for the work an
// executor does after its scan (merging and ordering what the workers
// gathered) that splits into parts touching disjoint state.
//
// `runParallelTasks` starts up to `threads` threads, each taking the next
// task index from one atomic counter until none is left, so a slow task
// does not hold the others back. Every task runs exactly once whatever the
// threads' timing; the result is the first failing task's error in task
// order, so it does not depend on timing either. When no thread can be
// started the calling thread runs every task itself: a start failure costs
// speed, never the answer.
//
// Threads: a task may run on any of the threads, at the same time as any
// other task; it must touch only what it alone owns for its index, plus what
// every task only reads. All threads are joined before the return.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace tavix {

namespace parallel_detail {

template <typename Task>
struct TaskThreads {
  Task* task;
  size_t count;
  std::atomic<size_t> next{0};
  Error* errors;  // one per task

  void drain() noexcept {
    for (;;) {
      const size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      try {
        errors[i] = (*task)(i);
      } catch (const std::bad_alloc&) {
        errors[i] = Error::OutOfMemory;
      } catch (...) {
        errors[i] = Error::Unexpected;
      }
    }
  }

  static void run(void* arg, size_t) noexcept { static_cast<TaskThreads*>(arg)->drain(); }
};

}  // namespace parallel_detail

// Runs `task(i) -> Error` for every i in [0, count) on at most `threads`
// threads (never more than `count`; one means the calling thread alone) and
// returns the error of the lowest failing i, or ok. Returns OutOfMemory
// before running anything when the error list cannot be had.
template <typename Task>
[[nodiscard]] Error runParallelTasks(size_t threads, size_t count, Task&& task) noexcept {
  using Task_ = std::remove_reference_t<Task>;
  if (count == 0) return Error::ok;
  std::unique_ptr<Error[]> errors(new (std::nothrow) Error[count]);
  if (errors == nullptr) return Error::OutOfMemory;
  for (size_t i = 0; i < count; ++i) errors[i] = Error::ok;
  parallel_detail::TaskThreads<Task_> shared{&task, count, {}, errors.get()};
  const size_t n = threads < count ? threads : count;
  if (n >= 2) {
    size_t started = 0;
    // A thread that could not be started leaves its share to the others;
    // with none started, the calling thread runs every task below. runThreads
    // returns once every started thread has ended.
    TAVIX_IGNORE_ERROR(platform::runThreads(n, platform::kWorkerThreadStack,
                                            &parallel_detail::TaskThreads<Task_>::run, &shared,
                                            started));
  }
  shared.drain();  // whatever no thread took
  for (size_t i = 0; i < count; ++i) TAVIX_TRY(errors[i]);
  return Error::ok;
}

}  // namespace tavix
