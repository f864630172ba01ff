// The memory pool of the parallel grouping scan: blocks carved from shared
// slabs never overlap, keep their alignment and contents, large blocks pass
// to the page allocator, slabs come from the pool's slab source, and threads
// take blocks at once without clashing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "exec/group/group_memory.h"
#include "exec/group/group_scan.h"
#include "platform/platform.h"

namespace tavix {
namespace {

struct Block {
  uintptr_t start;
  size_t len;
};

// Fills `len` bytes at `p` with a pattern of `seed`.
void fill(void* p, size_t len, unsigned seed) {
  auto* bytes = static_cast<unsigned char*>(p);
  for (size_t i = 0; i < len; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 7);
}

bool holds(const void* p, size_t len, unsigned seed) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < len; ++i)
    if (bytes[i] != static_cast<unsigned char>(seed + i * 7)) return false;
  return true;
}

TEST(GroupMemoryPool, CarvedBlocksAreAlignedApartAndKeepTheirBytes) {
  GroupMemoryPool pool;
  const Allocator memory = pool.allocator();
  // (length, alignment): tiny, odd, page-sized, the largest carved, one past
  // it (from the page allocator), and a run that fills more than one slab.
  const std::vector<std::pair<size_t, size_t>> shapes = {
      {1, 1},      {0, 8},      {13, 8},     {64, 64},    {100, 16},
      {4096, 4096}, {GroupMemoryPool::kMaxCarvedBytes, 64},
      {GroupMemoryPool::kMaxCarvedBytes + 1, 8}, {3 << 20, 4096}};
  std::vector<Block> blocks;
  unsigned seed = 1;
  for (int round = 0; round < 20; ++round) {
    for (const auto& [len, align] : shapes) {
      void* p = memory.alloc(len, align);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u) << len;
      fill(p, len, seed++);
      blocks.push_back({reinterpret_cast<uintptr_t>(p), len});
    }
  }
  // Twenty rounds carve 40 MiB in blocks of 2 MiB: a second slab.
  EXPECT_GE(pool.slabBytes(), 2 * GroupMemoryPool::kSlabBytes);
  seed = 1;
  for (const Block& b : blocks) EXPECT_TRUE(holds(reinterpret_cast<void*>(b.start), b.len, seed++));
  std::vector<Block> sorted = blocks;
  std::sort(sorted.begin(), sorted.end(), [](const Block& a, const Block& b) { return a.start < b.start; });
  for (size_t i = 1; i < sorted.size(); ++i)
    EXPECT_LE(sorted[i - 1].start + sorted[i - 1].len, sorted[i].start);
  // Large blocks go back to the page allocator; freeing carved ones is a no-op.
  for (const Block& b : blocks) memory.free(reinterpret_cast<void*>(b.start), b.len);
}

TEST(GroupMemoryPool, RemapKeepsContentsAcrossTheCarvedLimit) {
  GroupMemoryPool pool;
  const Allocator memory = pool.allocator();
  size_t len = 100;
  void* p = memory.alloc(len, 8);
  ASSERT_NE(p, nullptr);
  fill(p, len, 5);
  for (size_t next : {size_t{5000}, GroupMemoryPool::kMaxCarvedBytes, size_t{4} << 20, size_t{9} << 20}) {
    p = memory.remap(p, len, next, 8);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(holds(p, 100, 5)) << next;
    len = next;
  }
  memory.free(p, len);
}

TEST(GroupMemoryPool, ThreadsCarveAtOnceWithoutSharingBytes) {
  constexpr size_t kThreads = 8;
  constexpr size_t kBlocks = 3000;
  GroupMemoryPool pool;
  struct Run {
    Allocator memory;
    std::vector<Block> blocks[kThreads];
    bool intact[kThreads];
  } run{pool.allocator(), {}, {}};
  size_t started = 0;
  ASSERT_EQ(platform::runThreads(
                kThreads, platform::kWorkerThreadStack,
                [](void* arg, size_t t) {
                  Run& r = *static_cast<Run*>(arg);
                  r.blocks[t].reserve(kBlocks);
                  for (size_t k = 0; k < kBlocks; ++k) {
                    // Sizes from 8 bytes to 64 KiB, now and then past the
                    // carved limit.
                    const size_t len = k % 500 == 499 ? GroupMemoryPool::kMaxCarvedBytes + 64
                                                      : size_t{8} << (k % 14);
                    void* p = r.memory.alloc(len, 8);
                    if (p == nullptr) break;
                    fill(p, len, static_cast<unsigned>(t * kBlocks + k));
                    r.blocks[t].push_back({reinterpret_cast<uintptr_t>(p), len});
                  }
                  bool intact = r.blocks[t].size() == kBlocks;
                  for (size_t k = 0; k < r.blocks[t].size(); ++k)
                    intact = intact && holds(reinterpret_cast<void*>(r.blocks[t][k].start),
                                             r.blocks[t][k].len, static_cast<unsigned>(t * kBlocks + k));
                  r.intact[t] = intact;
                },
                &run, started),
            Error::ok);
  std::vector<Block> all;
  for (size_t t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(run.intact[t]) << t;
    all.insert(all.end(), run.blocks[t].begin(), run.blocks[t].end());
  }
  std::sort(all.begin(), all.end(), [](const Block& a, const Block& b) { return a.start < b.start; });
  for (size_t i = 1; i < all.size(); ++i) ASSERT_LE(all[i - 1].start + all[i - 1].len, all[i].start);
  for (const Block& b : all) run.memory.free(reinterpret_cast<void*>(b.start), b.len);
}

// Page blocks through a counter of the bytes taken and given back.
struct CountedPages {
  size_t taken = 0;
  size_t returned = 0;

  Allocator allocator() noexcept { return Allocator{this, &kVTable}; }

  static const AllocatorVTable kVTable;
};

const AllocatorVTable CountedPages::kVTable = {
    [](void* ctx, size_t len, size_t align) -> void* {
      void* p = pageAllocator().alloc(len, align);
      if (p != nullptr) static_cast<CountedPages*>(ctx)->taken += len;
      return p;
    },
    [](void*, void*, size_t, size_t) { return false; },
    [](void*, void*, size_t, size_t, size_t) -> void* { return nullptr; },
    [](void* ctx, void* ptr, size_t len) {
      static_cast<CountedPages*>(ctx)->returned += len;
      pageAllocator().free(ptr, len);
    },
};

// A pool given a slab source takes every slab from it and gives each back
// when it ends; blocks past the carved limit do not pass through it.
TEST(GroupMemoryPool, SlabsComeFromTheGivenSourceAndGoBackToIt) {
  CountedPages pages;
  {
    GroupMemoryPool pool(pages.allocator());
    const Allocator memory = pool.allocator();
    std::vector<Block> blocks;
    for (int i = 0; i < 20; ++i) {
      for (size_t len : {GroupMemoryPool::kMaxCarvedBytes, GroupMemoryPool::kMaxCarvedBytes + 1}) {
        void* p = memory.alloc(len, 64);
        ASSERT_NE(p, nullptr);
        fill(p, len, static_cast<unsigned>(i));
        blocks.push_back({reinterpret_cast<uintptr_t>(p), len});
      }
    }
    EXPECT_GE(pool.slabBytes(), 2 * GroupMemoryPool::kSlabBytes);
    EXPECT_EQ(pages.taken, pool.slabBytes());
    for (const Block& b : blocks) memory.free(reinterpret_cast<void*>(b.start), b.len);
    EXPECT_EQ(pages.returned, 0u);
  }
  EXPECT_EQ(pages.returned, pages.taken);
}

// A group table on the pool answers as one on the page allocator: its map
// grows through several slot arrays and its arena through several chunks.
TEST(GroupMemoryPool, GroupTableOnThePoolFindsEveryGroup) {
  GroupMemoryPool pool;
  std::vector<GroupKeySpec> keys(1);
  keys[0].column = 0;
  GroupTable table(keys, {}, pool.allocator());
  std::vector<std::string> texts;
  for (int i = 0; i < 40000; ++i) texts.push_back("key" + std::to_string(i * 7919 % 100003));
  for (const std::string& text : texts) {
    const FieldSlice field(text);
    Group* group = nullptr;
    ASSERT_EQ(table.groupOf(&field, 1, group), Error::ok);
  }
  EXPECT_EQ(table.map().size(), texts.size());
  for (const std::string& text : texts) {
    const Group* group = table.map().find(text, hashGroupKey(text));
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->key, FieldSlice(text));
  }
}

}  // namespace
}  // namespace tavix
