// The thread counts a parallel test sweeps. A default test run takes the
// small counts; the tests registered under the "slow" label (TAVIX_WIDE_SWEEP
// set in their environment, see tests/CMakeLists.txt) take the wide ones,
// whose thread starts dominate a run.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

namespace tavix::test {

inline bool wideSweepRequested() {
  const char* v = std::getenv("TAVIX_WIDE_SWEEP");
  return v != nullptr && *v != '\0' && *v != '0';
}

inline std::vector<uint64_t> threadSweep(std::initializer_list<uint64_t> small,
                                         std::initializer_list<uint64_t> wide) {
  return wideSweepRequested() ? std::vector<uint64_t>(wide) : std::vector<uint64_t>(small);
}

}  // namespace tavix::test
