// The stable sort behind every ORDER BY in tavix.
//
// `stableSort` is a bottom-up merge sort over a plain array of trivially
// copyable items. It is written for comparisons that are not a strict weak
// order: the ORDER BY rule compares two numbers numerically and anything else
// as text, so on a column that mixes both it is not transitive ("9" < "10",
// "10" < "1a", "1a" < "9"). A sort that relies on transitivity for its bounds
// (a quicksort's unguarded partition loop, for one) can then walk off the
// array. Every step here checks its indices against the range itself and asks
// the comparison only which of two items to take next, so whatever the
// comparison answers the sort stays inside the array, ends, and leaves a
// permutation of its input. With a strict weak order the result is sorted and
// items that compare equal keep their input order.
//
// The sort cannot fail: it borrows a scratch block of n items from the given
// allocator and, when none can be had, merges in place by rotations instead
// (slower, O(n log^2 n), but without memory). Pure; runs on the calling
// thread and touches only the array and its own scratch block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "common/allocator.h"

namespace tavix {

namespace detail {

// Runs shorter than this are sorted by insertion before merging starts: on
// short runs the shifting loop beats merge passes, and 32 keeps the worst
// case (32 * 31 / 2 moves per run) small.
inline constexpr size_t kInsertionRun = 32;

template <typename T, typename Less>
void insertionSortRange(T* items, size_t first, size_t last, Less& less) {
  for (size_t i = first + 1; i < last; ++i) {
    T item = items[i];
    size_t j = i;
    // Strictly-less keeps equal items in input order; `j > first` bounds the
    // walk whatever `less` answers.
    while (j > first && less(item, items[j - 1])) {
      items[j] = items[j - 1];
      --j;
    }
    items[j] = item;
  }
}

// Merges the sorted runs src[first, middle) and src[middle, last) into
// dst[first, last). An item of the right run goes first only when it is
// strictly less, so ties keep the left (earlier) item first.
template <typename T, typename Less>
void mergeRuns(const T* src, T* dst, size_t first, size_t middle, size_t last, Less& less) {
  size_t i = first;
  size_t j = middle;
  size_t out = first;
  while (i < middle && j < last) {
    if (less(src[j], src[i])) {
      dst[out++] = src[j++];
    } else {
      dst[out++] = src[i++];
    }
  }
  while (i < middle) dst[out++] = src[i++];
  while (j < last) dst[out++] = src[j++];
}

// First position p in [first, last) with less(value, items[p]); last when
// none. A plain halving search: it stays in range for any comparison.
template <typename T, typename Less>
size_t upperBoundIn(const T* items, size_t first, size_t last, const T& value, Less& less) {
  size_t count = last - first;
  while (count > 0) {
    const size_t step = count / 2;
    const size_t probe = first + step;
    if (!less(value, items[probe])) {
      first = probe + 1;
      count -= step + 1;
    } else {
      count = step;
    }
  }
  return first;
}

// First position p in [first, last) with !less(items[p], value); last when
// none.
template <typename T, typename Less>
size_t lowerBoundIn(const T* items, size_t first, size_t last, const T& value, Less& less) {
  size_t count = last - first;
  while (count > 0) {
    const size_t step = count / 2;
    const size_t probe = first + step;
    if (less(items[probe], value)) {
      first = probe + 1;
      count -= step + 1;
    } else {
      count = step;
    }
  }
  return first;
}

// Merges the sorted runs [first, middle) and [middle, last) of `items` in
// place, without memory: cut the longer run in half, find the matching cut in
// the other run by binary search, rotate the two middle pieces past each
// other and merge both sides. Each side is strictly smaller than the whole
// whatever the comparison says (the cut of the longer run lies strictly
// inside it), so the recursion ends; the smaller side is recursed into and
// the larger one looped on, which bounds the depth by log2 of the length.
template <typename T, typename Less>
void mergeInPlace(T* items, size_t first, size_t middle, size_t last, Less& less) {
  while (first < middle && middle < last) {
    const size_t len1 = middle - first;
    const size_t len2 = last - middle;
    if (len1 + len2 == 2) {
      if (less(items[middle], items[first])) std::swap(items[first], items[middle]);
      return;
    }
    size_t cut1;
    size_t cut2;
    if (len1 > len2) {
      cut1 = first + len1 / 2;
      cut2 = lowerBoundIn(items, middle, last, items[cut1], less);
    } else {
      cut2 = middle + len2 / 2;
      cut1 = upperBoundIn(items, first, middle, items[cut2], less);
    }
    std::rotate(items + cut1, items + middle, items + cut2);
    const size_t new_middle = cut1 + (cut2 - middle);
    const size_t left_size = new_middle - first;
    const size_t right_size = last - new_middle;
    if (left_size <= right_size) {
      mergeInPlace(items, first, cut1, new_middle, less);
      first = new_middle;
      middle = cut2;
    } else {
      mergeInPlace(items, new_middle, cut2, last, less);
      last = new_middle;
      middle = cut1;
    }
  }
}

}  // namespace detail

// Sorts items[0, n) in place by `less` (a strict less-than), keeping the
// input order of items that compare equal. Memory-safe and terminating for
// any `less`, consistent or not. The scratch block comes from `scratch`; when
// it cannot be had the merges run in place. Cannot fail.
template <typename T, typename Less>
void stableSort(T* items, size_t n, Less less, Allocator scratch = cAllocator()) {
  static_assert(std::is_trivially_copyable_v<T>, "items are moved by plain copies");
  if (n < 2) return;
  for (size_t first = 0; first < n; first += detail::kInsertionRun) {
    detail::insertionSortRange(items, first, std::min(n, first + detail::kInsertionRun), less);
  }
  if (n <= detail::kInsertionRun) return;

  // n items fit in memory already, so n * sizeof(T) cannot overflow.
  const size_t bytes = n * sizeof(T);
  T* buffer = static_cast<T*>(scratch.alloc(bytes, alignof(T)));
  if (buffer == nullptr) {
    for (size_t width = detail::kInsertionRun; width < n; width *= 2) {
      for (size_t first = 0; first + width < n; first += 2 * width) {
        detail::mergeInPlace(items, first, first + width, std::min(n, first + 2 * width), less);
      }
    }
    return;
  }

  T* src = items;
  T* dst = buffer;
  for (size_t width = detail::kInsertionRun; width < n; width *= 2) {
    for (size_t first = 0; first < n; first += 2 * width) {
      const size_t middle = std::min(n, first + width);
      const size_t last = std::min(n, first + 2 * width);
      detail::mergeRuns(src, dst, first, middle, last, less);
    }
    std::swap(src, dst);
  }
  if (src != items) std::copy(src, src + n, items);
  scratch.free(buffer, bytes);
}

}  // namespace tavix
