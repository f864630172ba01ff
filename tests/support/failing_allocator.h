// An allocator whose every request fails, for the out-of-memory paths of the
// tests.
#pragma once

#include "common/allocator.h"

namespace tavix::test {

inline Allocator failingAllocator() {
  static const AllocatorVTable table = {
      [](void*, size_t, size_t) -> void* { return nullptr; },
      [](void*, void*, size_t, size_t) { return false; },
      [](void*, void*, size_t, size_t, size_t) -> void* { return nullptr; },
      [](void*, void*, size_t) {},
  };
  return Allocator{nullptr, &table};
}

}  // namespace tavix::test
