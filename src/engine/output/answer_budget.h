// The bound on an answer: the largest result the caller is handed, and the
// count that lets workers which hold rows before writing them stop as soon
// as their rows alone pass it, instead of holding an answer that would be
// refused anyway.
//
// `AnswerBudget` is shared by the workers of one query (an atomic counter,
// safe from any number of threads); a `BudgetShare` belongs to one worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "common/text.h"

namespace tavix {

// The largest answer the driver reads back and returns (256 MiB); a larger
// one fails with FileTooBig.
inline constexpr uint64_t kMaxResultBytes = 268'435'456;

// The bytes the workers of one query are sure to contribute to the answer.
class AnswerBudget {
 public:
  // Adds `bytes` and returns false once the total passes the bound.
  bool charge(uint64_t bytes) noexcept {
    return used_.fetch_add(bytes, std::memory_order_relaxed) + bytes <= kMaxResultBytes;
  }

  // The bound itself, for counts that one worker keeps on its own.
  static bool withinLimit(uint64_t bytes) noexcept { return bytes <= kMaxResultBytes; }

 private:
  std::atomic<uint64_t> used_{0};
};

// A worker's side of an `AnswerBudget`: bytes are handed to the shared
// counter in batches, so workers do not contend on it once per row. The
// count is exact, only late by less than one batch per worker.
class BudgetShare {
 public:
  explicit BudgetShare(AnswerBudget& budget) noexcept : budget_(budget) {}

  // Adds `bytes`; returns false once the shared total has passed the bound.
  bool add(uint64_t bytes) noexcept {
    pending_ += bytes;
    if (pending_ < kBatchBytes) return true;
    const uint64_t n = pending_;
    pending_ = 0;
    return budget_.charge(n);
  }

 private:
  // Large enough that the counter is touched once per few hundred rows,
  // small enough that T workers together overshoot the bound by little.
  static constexpr uint64_t kBatchBytes = 64u << 10;

  AnswerBudget& budget_;
  uint64_t pending_ = 0;
};

// The fewest bytes a row of these values takes in any output format: every
// value, one separator or line end per value. Quoting and JSON framing only
// add to this.
inline uint64_t minimumRenderedBytes(std::span<const FieldSlice> values) noexcept {
  uint64_t n = values.size();
  for (FieldSlice v : values) n += v.size();
  return n;
}

}  // namespace tavix
