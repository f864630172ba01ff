// `TextMap`: a flat hash map from a text to a small value, for the name and
// key maps that are built once and then probed per record or per group.
//
// Keys are views: the map never copies a key's bytes, so the caller keeps
// every key text alive (in an arena, the header record, the parsed query)
// while the map holds it. Keys compare by length and bytes: no trimming, no
// case folding; the empty text is a key like any other.
//
// The table is one array of slots with open addressing and linear probing,
// a power of two in size and at most half full, so a lookup is one hash and
// usually one slot. `clear` forgets every entry but keeps the array, so a map
// refilled per row or per group allocates only while it grows. Growing is the
// only allocation; it reports OutOfMemory and leaves the map unchanged.
//
// A map belongs to one thread while it is written; once built, any number of
// threads may `find` at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"
#include "common/hash.h"

namespace tavix {

template <typename Value>
class TextMap {
 public:
  TextMap() = default;

  // Returns the value stored under `key`, or null.
  const Value* find(std::string_view key) const noexcept { return findHashed(key, hashText(key)); }
  Value* find(std::string_view key) noexcept {
    return const_cast<Value*>(std::as_const(*this).find(key));
  }

  // The same with the key's hash already computed by `hashText`.
  const Value* findHashed(std::string_view key, uint64_t hash) const noexcept {
    if (used_ == 0) return nullptr;
    const Slot& slot = slots_[slotOf(key, hash)];
    return slot.used ? &slot.value : nullptr;
  }

  // Finds `key` or inserts it with a value-initialised value; `inserted`
  // tells which. `value` stays valid until the map next grows. Returns
  // OutOfMemory, the map unchanged, when it cannot grow.
  [[nodiscard]] Error getOrPut(std::string_view key, Value*& value, bool& inserted) noexcept {
    if ((used_ + 1) * 2 > slots_.size()) TAVIX_TRY(grow());
    const uint64_t hash = hashText(key);
    Slot& slot = slots_[slotOf(key, hash)];
    inserted = !slot.used;
    if (inserted) {
      slot.used = true;
      slot.hash = hash;
      slot.key = key;
      slot.value = Value{};
      ++used_;
    }
    value = &slot.value;
    return Error::ok;
  }

  // Stores `value` under `key`, replacing an earlier value.
  [[nodiscard]] Error put(std::string_view key, const Value& value) noexcept {
    Value* slot_value = nullptr;
    bool inserted = false;
    TAVIX_TRY(getOrPut(key, slot_value, inserted));
    *slot_value = value;
    return Error::ok;
  }

  // Stores `value` under `key` only when the key is not present yet.
  [[nodiscard]] Error insert(std::string_view key, const Value& value) noexcept {
    Value* slot_value = nullptr;
    bool inserted = false;
    TAVIX_TRY(getOrPut(key, slot_value, inserted));
    if (inserted) *slot_value = value;
    return Error::ok;
  }

  // Forgets every entry; the slot array is kept for the next fill.
  void clear() noexcept {
    if (used_ == 0) return;
    for (Slot& slot : slots_) slot.used = false;
    used_ = 0;
  }

  size_t size() const noexcept { return used_; }

  // Calls f(key, value) for every entry, in no particular order.
  template <typename F>
  void forEach(F&& f) const {
    for (const Slot& slot : slots_)
      if (slot.used) f(slot.key, slot.value);
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    std::string_view key;
    Value value{};
    bool used = false;
  };

  // The slot holding `key`, or the empty slot where it would go.
  size_t slotOf(std::string_view key, uint64_t hash) const noexcept {
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (!slot.used || (slot.hash == hash && slot.key == key)) return i;
    }
  }

  [[nodiscard]] Error grow() noexcept {
    // 16 slots hold the small maps (a group's labels, a table's names)
    // without any regrowth.
    const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Slot> bigger;
    try {
      bigger.resize(capacity);
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    bigger.swap(slots_);
    const size_t mask = capacity - 1;
    for (Slot& old : bigger) {
      if (!old.used) continue;
      size_t i = static_cast<size_t>(old.hash) & mask;
      while (slots_[i].used) i = (i + 1) & mask;
      slots_[i] = old;
    }
    return Error::ok;
  }

  std::vector<Slot> slots_;  // empty, or a power of two in size
  size_t used_ = 0;
};

}  // namespace tavix
