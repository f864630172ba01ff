// `FlatTextSet`: a set of texts for the per-record paths (the distinct
// values of count(DISTINCT ...), keys met by a scan).
//
// One flat array of (hash, key) slots with open addressing and linear
// probing, a power of two in size and grown at 80 % load, so a lookup is one
// hash and usually one slot. The slot array and the copies of the keys come
// from an `Allocator` the caller passes on every call that may allocate
// (usually the arena of the block that owns the set): the set itself holds
// no allocator and runs no destructor, so it can live inside arena memory.
// A set whose allocator is not an arena gives its slot array back with
// `release`. The hash of each key is kept, so a set can be poured into
// another (a merge, a shard) without hashing again.
//
// A set belongs to one thread at a time; a finished set may be read by any
// number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "common/allocator.h"
#include "common/error.h"
#include "common/hash.h"

namespace tavix {

class FlatTextSet {
 public:
  // Adds `key` (whose hash is `hash`, from hashText) when it is not in the
  // set yet: the key is copied with `allocator` (the empty text needs no
  // copy) and `added` is set. Returns OutOfMemory, the set unchanged, when
  // the slot array cannot grow or the copy fails.
  [[nodiscard]] Error insert(std::string_view key, uint64_t hash, const Allocator& allocator,
                             bool& added) noexcept {
    std::string_view kept;
    return insert(key, hash, allocator, allocator, kept, added);
  }

  // As above, with the slot array grown through `slot_allocator` and the
  // key copied with `key_allocator` (a heap for the array, an arena for the
  // keys: an array grown in an arena leaves its old copies behind); `kept`
  // is the set's copy of the key, new or found.
  [[nodiscard]] Error insert(std::string_view key, uint64_t hash, const Allocator& slot_allocator,
                             const Allocator& key_allocator, std::string_view& kept,
                             bool& added) noexcept {
    added = false;
    if ((size_ + 1) * 5 > capacity_ * 4) TAVIX_TRY(grow(slot_allocator));
    Slot& slot = slots_[slotOf(key, hash)];
    if (slot.data != nullptr) {
      kept = std::string_view(slot.data, slot.size);
      return Error::ok;
    }
    std::string_view copy;
    if (!key.empty() && !key_allocator.copyText(key, copy)) return Error::OutOfMemory;
    slot.hash = hash;
    slot.data = key.empty() ? kEmptyKey : copy.data();
    slot.size = key.size();
    kept = std::string_view(slot.data, slot.size);
    ++size_;
    added = true;
    return Error::ok;
  }

  [[nodiscard]] Error insert(std::string_view key, const Allocator& allocator,
                             bool& added) noexcept {
    return insert(key, hashText(key), allocator, added);
  }

  bool contains(std::string_view key, uint64_t hash) const noexcept {
    return capacity_ != 0 && slots_[slotOf(key, hash)].data != nullptr;
  }

  size_t size() const noexcept { return size_; }

  // Calls f(key, hash) for every key, in slot order.
  template <typename F>
  void forEach(F&& f) const {
    for (size_t i = 0; i < capacity_; ++i)
      if (slots_[i].data != nullptr) f(std::string_view(slots_[i].data, slots_[i].size), slots_[i].hash);
  }

  // Gives the slot array back to `allocator` (the one every insert used)
  // and empties the set; the key copies stay with that allocator.
  void release(const Allocator& allocator) noexcept {
    allocator.free(slots_, capacity_ * sizeof(Slot));
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
  }

 private:
  struct Slot {
    uint64_t hash;
    const char* data;  // null: a free slot
    size_t size;
  };

  // Where the empty key points, so that its slot is not taken for free.
  static constexpr const char* kEmptyKey = "";
  // The first array: enough for a handful of values without regrowth.
  static constexpr size_t kInitialCapacity = 16;

  size_t slotOf(std::string_view key, uint64_t hash) const noexcept {
    const size_t mask = capacity_ - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.data == nullptr ||
          (slot.hash == hash && slot.size == key.size() &&
           (key.empty() || std::memcmp(slot.data, key.data(), key.size()) == 0)))
        return i;
    }
  }

  [[nodiscard]] Error grow(const Allocator& allocator) noexcept {
    const size_t capacity = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    Slot* slots = static_cast<Slot*>(allocator.alloc(capacity * sizeof(Slot), alignof(Slot)));
    if (slots == nullptr) return Error::OutOfMemory;
    std::memset(static_cast<void*>(slots), 0, capacity * sizeof(Slot));
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < capacity_; ++i) {
      const Slot& old = slots_[i];
      if (old.data == nullptr) continue;
      size_t j = static_cast<size_t>(old.hash) & mask;
      while (slots[j].data != nullptr) j = (j + 1) & mask;
      slots[j] = old;
    }
    allocator.free(slots_, capacity_ * sizeof(Slot));
    slots_ = slots;
    capacity_ = capacity;
    return Error::ok;
  }

  Slot* slots_ = nullptr;
  size_t capacity_ = 0;  // 0 or a power of two
  size_t size_ = 0;
};

static_assert(std::is_trivially_destructible_v<FlatTextSet>,
              "sets live in arena memory, which runs no destructors");

}  // namespace tavix
