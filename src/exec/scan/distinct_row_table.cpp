#include "exec/scan/distinct_row_table.h"

#include <functional>
#include <new>
#include <string_view>

namespace tavix {

uint64_t DistinctRowTable::hashRow(const FieldSlice* row, size_t width) noexcept {
  // Each value's length goes in too, so that values cannot run into each
  // other ("ab","c" and "a","bc" hash apart).
  uint64_t h = 0x9e3779b97f4a7c15ull ^ width;
  for (size_t i = 0; i < width; ++i) {
    const uint64_t v = std::hash<std::string_view>{}(row[i]) ^ (row[i].size() * 0xff51afd7ed558ccdull);
    h = (h ^ v) * 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 29;
  }
  return h;
}

bool DistinctRowTable::sameRow(const FieldSlice* a, const FieldSlice* b) const noexcept {
  for (size_t i = 0; i < width_; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

size_t DistinctRowTable::findSlot(const FieldSlice* row, uint64_t hash) const noexcept {
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.row == nullptr || (slot.hash == hash && sameRow(slot.row, row))) return i;
  }
}

bool DistinctRowTable::isNew(const FieldSlice* row, uint64_t hash) const noexcept {
  return slots_.empty() || slots_[findSlot(row, hash)].row == nullptr;
}

Error DistinctRowTable::add(const FieldSlice* row, uint64_t hash) noexcept {
  if (2 * (used_ + 1) > slots_.size()) {
    // Double (from 1024 slots) and put every row in its new place.
    std::vector<Slot> grown;
    try {
      grown.resize(slots_.empty() ? 1024 : 2 * slots_.size());
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    grown.swap(slots_);
    for (const Slot& slot : grown) {
      if (slot.row != nullptr) slots_[findSlot(slot.row, slot.hash)] = slot;
    }
  }
  slots_[findSlot(row, hash)] = Slot{hash, row};
  ++used_;
  return Error::ok;
}

}  // namespace tavix
