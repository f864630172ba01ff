#include "common/allocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "common/error.h"
#include "support/failing_allocator.h"

namespace tavix {
namespace {

TEST(CAllocator, ServesAnyAlignmentAndKeepsTheBlockAddressBeforeIt) {
  Allocator a = cAllocator();
  for (size_t align : {1, 8, 16, 64, 4096}) {
    void* p = a.alloc(100, align);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << align;
    std::memset(p, 0xab, 100);
    a.free(p, 100);
  }
}

TEST(CAllocator, RemapKeepsTheContents) {
  Allocator a = cAllocator();
  char* p = static_cast<char*>(a.alloc(4, 1));
  std::memcpy(p, "abcd", 4);
  p = static_cast<char*>(a.remap(p, 4, 1 << 20, 1));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
  a.free(p, 1 << 20);
}

TEST(PageAllocator, AllocatesWholePages) {
  // The page allocator and the one that never asks for huge pages, below
  // and above the 2 MiB from which the first one asks for them.
  for (const Allocator a : {pageAllocator(), smallPageAllocator()}) {
    for (const size_t size : {size_t{10000}, size_t{3} << 20}) {
      char* p = static_cast<char*>(a.alloc(size, 16));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
      EXPECT_EQ(p[size - 1], 0);  // fresh pages are zero
      p[size - 1] = 1;
      p = static_cast<char*>(a.remap(p, size, 10 * size, 16));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(p[size - 1], 1);
      a.free(p, 10 * size);
    }
  }
}

TEST(ArenaAllocator, ResetRetainsCapacityAndLastBlockCanGrowInPlace) {
  ArenaAllocator arena;
  void* first = arena.alloc(10, 1);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(arena.allocator().resize(first, 10, 20));
  EXPECT_EQ(arena.bytesInUse(), 20u);
  void* second = arena.alloc(8, 8);
  EXPECT_FALSE(arena.allocator().resize(first, 20, 30));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 8, 0u);
  arena.reset();
  EXPECT_EQ(arena.bytesInUse(), 0u);
  EXPECT_EQ(arena.alloc(10, 1), first);  // the same chunk is reused
}

TEST(ArenaAllocator, LargeBlocksGetTheirOwnChunk) {
  ArenaAllocator arena;
  char* big = static_cast<char*>(arena.alloc(10 << 20, 1));
  ASSERT_NE(big, nullptr);
  big[(10 << 20) - 1] = 'x';
  char* small = static_cast<char*>(arena.alloc(4, 1));
  ASSERT_NE(small, nullptr);
  arena.reset(ArenaAllocator::ResetMode::free_all);
  EXPECT_EQ(arena.bytesInUse(), 0u);
}

TEST(ArenaAllocator, ParentFailureGivesNull) {
  ArenaAllocator arena(test::failingAllocator());
  EXPECT_EQ(arena.alloc(1, 1), nullptr);
}

}  // namespace
}  // namespace tavix
