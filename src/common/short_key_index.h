// An index of short texts (at most 16 bytes) to the caller's values, found
// without hashing or comparing their bytes one by one: a text's length with
// two words read from its two ends (or three of its bytes, below 4 bytes)
// hold every byte of it, so equal signatures are equal texts. Open
// addressing with linear probing, at most half full (an eighth while
// small). It keeps pointers to values it does not own; one index belongs to
// one thread at a time, or is only read once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "common/error.h"
#include "common/text.h"

namespace tavix {

template <typename T>
class ShortKeyIndex {
 public:
  static constexpr size_t kMaxKeyBytes = 16;

  // Makes room for `keys` texts without growing. Returns OutOfMemory, the
  // index unchanged, when the slots cannot be had.
  [[nodiscard]] Error reserve(size_t keys) noexcept {
    const size_t capacity = slotsFor(keys);
    return capacity > slots_.size() ? rehash(capacity) : Error::ok;
  }

  // Indexes `key` (at most kMaxKeyBytes bytes, not yet in the index) to
  // `value`. Returns OutOfMemory, the index unchanged.
  [[nodiscard]] Error insert(FieldSlice key, T* value) noexcept {
    if (slotsFor(size_ + 1) > slots_.size()) TAVIX_TRY(reserve(size_ + 1));
    const Signature s = signatureOf(key.data(), key.size());
    size_t i = slotOf(s);
    while (slots_[i].value != nullptr) i = (i + 1) & mask_;
    slots_[i] = Slot{s.low, s.high, key.size(), value};
    ++size_;
    return Error::ok;
  }

  // The value of `key` (at most kMaxKeyBytes bytes), or null.
  T* find(FieldSlice key) const noexcept {
    if (size_ == 0) return nullptr;
    const Signature s = signatureOf(key.data(), key.size());
    for (size_t i = slotOf(s);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.value == nullptr) return nullptr;
      if (slot.low == s.low && slot.high == s.high && slot.length == key.size()) return slot.value;
    }
  }

  size_t size() const noexcept { return size_; }

 private:
  struct Signature {
    uint64_t low = 0;
    uint64_t high = 0;
  };
  struct Slot {
    uint64_t low = 0;
    uint64_t high = 0;
    uint64_t length = 0;
    T* value = nullptr;  // null: an empty slot
  };

  static Signature signatureOf(const char* p, size_t n) noexcept {
    Signature s;
    if (n >= 8) {
      std::memcpy(&s.low, p, 8);
      std::memcpy(&s.high, p + n - 8, 8);
    } else if (n >= 4) {
      uint32_t a = 0, b = 0;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      s.low = a;
      s.high = b;
    } else if (n > 0) {
      s.low = static_cast<uint64_t>(static_cast<unsigned char>(p[0])) |
              static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
              static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    return s;
  }

  // Slots up to which the index keeps at most an eighth of them full.
  static constexpr size_t kRoomySlots = 512;

  // The slots for `keys` texts: at most half full, and at most an eighth
  // while that takes no more than kRoomySlots (16 KiB). In a sparse index
  // nearly every look-up ends at its first slot, so the probe loop's end is
  // foreseen; half full, a third of the keys of a small table collide.
  static size_t slotsFor(size_t keys) noexcept {
    size_t capacity = 16;
    while (capacity < keys * 2) capacity *= 2;
    while (capacity < kRoomySlots && capacity < keys * 8) capacity *= 2;
    return capacity;
  }

  size_t slotOf(Signature s) const noexcept {
    const uint64_t h = (s.low * 0x9E3779B97F4A7C15u) ^ (s.high * 0xC2B2AE3D27D4EB4Fu);
    return static_cast<size_t>((h ^ (h >> 29)) & mask_);
  }

  Error rehash(size_t capacity) noexcept {
    std::vector<Slot> old;
    try {
      old.assign(capacity, Slot{});
    } catch (const std::bad_alloc&) {
      return Error::OutOfMemory;
    }
    old.swap(slots_);
    mask_ = capacity - 1;
    for (const Slot& slot : old) {
      if (slot.value == nullptr) continue;
      size_t i = slotOf(Signature{slot.low, slot.high});
      while (slots_[i].value != nullptr) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
    return Error::ok;
  }

  std::vector<Slot> slots_;  // a power of two in size, at most half full
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace tavix
