#include "exec/sort/stable_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace tavix {
namespace {

struct Item {
  uint32_t key;
  uint32_t id;  // input position
};

// An allocator that never has memory: forces the in-place merges.
void* failAlloc(void*, size_t, size_t) { return nullptr; }
bool failResize(void*, void*, size_t, size_t) { return false; }
void* failRemap(void*, void*, size_t, size_t, size_t) { return nullptr; }
void failFree(void*, void*, size_t) {}
const AllocatorVTable kNoMemoryTable = {failAlloc, failResize, failRemap, failFree};
Allocator noMemory() { return Allocator{nullptr, &kNoMemoryTable}; }

struct ScratchMode {
  const char* name;
  Allocator (*make)();
};
const ScratchMode kScratchModes[] = {
    {"with scratch", cAllocator},
    {"in place", noMemory},
};

std::vector<Item> randomItems(size_t n, uint32_t distinct_keys, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> key(0, distinct_keys - 1);
  std::vector<Item> items(n);
  for (size_t i = 0; i < n; ++i) items[i] = Item{key(rng), static_cast<uint32_t>(i)};
  return items;
}

// Sweeps sizes around the insertion-run and merge-width boundaries and
// checks the result against std::stable_sort, whose contract is ours when
// the comparison is a strict weak order.
TEST(StableSort, MatchesStdStableSortAndKeepsTiesInInputOrder) {
  const size_t sizes[] = {0, 1, 2, 3, 31, 32, 33, 63, 64, 65, 100, 257, 1000, 4099};
  const uint32_t key_ranges[] = {1, 3, 50, 1u << 30};
  for (const ScratchMode& mode : kScratchModes) {
    for (size_t n : sizes) {
      for (uint32_t range : key_ranges) {
        std::vector<Item> items = randomItems(n, range, static_cast<uint32_t>(n * 31 + range));
        std::vector<Item> expected = items;
        auto less = [](const Item& a, const Item& b) { return a.key < b.key; };
        std::stable_sort(expected.begin(), expected.end(), less);
        stableSort(items.data(), items.size(), less, mode.make());
        for (size_t i = 0; i < n; ++i) {
          ASSERT_EQ(items[i].id, expected[i].id)
              << mode.name << ", n=" << n << ", keys in [0," << range << "), position " << i;
        }
      }
    }
  }
}

// A comparison that answers at random is the extreme of an inconsistent
// rule: the sort must stay inside the array (the sanitizer build checks
// every access) and hand back exactly the items it was given.
TEST(StableSort, RandomAnswersLeaveAPermutationAndStayInBounds) {
  const size_t sizes[] = {2, 33, 100, 1000, 5000};
  for (const ScratchMode& mode : kScratchModes) {
    for (size_t n : sizes) {
      std::vector<Item> items = randomItems(n, 1, 7);
      std::mt19937 coin(static_cast<uint32_t>(n));
      stableSort(items.data(), items.size(),
                 [&coin](const Item&, const Item&) { return (coin() & 1) != 0; }, mode.make());
      std::vector<uint32_t> ids;
      for (const Item& item : items) ids.push_back(item.id);
      std::sort(ids.begin(), ids.end());
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(ids[i], i) << mode.name << ", n=" << n;
      }
    }
  }
}

}  // namespace
}  // namespace tavix
