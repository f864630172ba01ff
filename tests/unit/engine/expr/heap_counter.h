// Counts calls of the global operator new in the test binary, so tests can
// check that row evaluation never touches the heap.
#pragma once

#include <cstdint>

namespace tavix::test {

uint64_t heapAllocationCount() noexcept;

}  // namespace tavix::test
