// Restricts the calling thread, and the threads it starts while the limit
// stands (the library's query thread and its workers inherit it), to the
// first `count` CPUs it may run on, until destroyed. The processor count
// the library sees is that affinity, so one CPU keeps a large file on the
// one-thread executors and several hand it to the worker threads. A count
// of 0 leaves the affinity as it is.
#pragma once

#include <sched.h>

#include <cstddef>

namespace tavix::test {

class CpuLimit {
 public:
  explicit CpuLimit(size_t count) {
    CPU_ZERO(&saved_);
    if (count == 0 || sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    cpu_set_t limited;
    CPU_ZERO(&limited);
    size_t taken = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && taken < count; ++cpu) {
      if (CPU_ISSET(cpu, &saved_)) {
        CPU_SET(cpu, &limited);
        ++taken;
      }
    }
    limited_ = sched_setaffinity(0, sizeof limited, &limited) == 0;
  }
  ~CpuLimit() {
    if (limited_) sched_setaffinity(0, sizeof saved_, &saved_);
  }
  CpuLimit(const CpuLimit&) = delete;
  CpuLimit& operator=(const CpuLimit&) = delete;

  // The number of CPUs the calling thread may run on (1 when unknown).
  static size_t available() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return static_cast<size_t>(CPU_COUNT(&set));
  }

 private:
  cpu_set_t saved_;
  bool limited_ = false;
};

}  // namespace tavix::test
