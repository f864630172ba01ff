// The DISTINCT set of the parallel scans' merge. See the class comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.h"
#include "common/text.h"

namespace tavix {

// The DISTINCT set of the parallel scans: rows of `width` values each, kept
// where their owner keeps them (the table holds only a hash and a pointer
// per row), in an open-addressing table, so that a lookup is one probe of a
// flat array rather than a walk through separately allocated nodes. Two rows
// are the same when all their values are equal, byte for byte and however
// long. The rows a table points to must stay in place while it is used.
// Belongs to one thread.
class DistinctRowTable {
 public:
  explicit DistinctRowTable(size_t width) noexcept : width_(width) {}

  // The hash of a row, computed once per row (on the worker that found it).
  static uint64_t hashRow(const FieldSlice* row, size_t width) noexcept;

  // Returns true when no equal row is in the table yet. Does not add it.
  bool isNew(const FieldSlice* row, uint64_t hash) const noexcept;

  // Adds a row that `isNew` has just accepted. Returns OutOfMemory, the
  // table unchanged, when it cannot grow.
  [[nodiscard]] Error add(const FieldSlice* row, uint64_t hash) noexcept;

 private:
  struct Slot {
    uint64_t hash = 0;
    const FieldSlice* row = nullptr;  // null: empty slot
  };

  size_t findSlot(const FieldSlice* row, uint64_t hash) const noexcept;
  bool sameRow(const FieldSlice* a, const FieldSlice* b) const noexcept;

  size_t width_;
  size_t used_ = 0;
  std::vector<Slot> slots_;  // a power of two in size, at most half full
};

}  // namespace tavix
