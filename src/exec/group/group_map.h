// Composite group keys and the group map.
//
// A record's composite key holds its key parts, one per GROUP BY key, in key
// order. One part alone is the key itself, byte for byte. Several parts are
// joined so that no two different lists of parts give the same key, whatever
// bytes the parts hold: between two parts stands the pair 0x00 0x01, and a
// 0x00 byte inside a part is written as 0x00 0xFF. Keys then compare, as
// plain unsigned bytes, exactly as their part lists do part by part (the end
// of a part, 0x00 0x01, sorts below a 0x00 byte of a longer part, 0x00 0xFF,
// and below every other byte), so group order is bytewise per part with a
// part that is a prefix of another first.
//
// `GroupMap` maps composite keys to the caller's per-group value: a flat
// open-addressing table of (hash, group) slots with linear probing, a power
// of two in size and grown at 80 % load, in whole pages (large slot arrays
// on huge pages, as a lookup lands on a random slot). A group (its key copy and its value)
// lives in the caller's arena, which must outlive the map's use; the map
// allocates only its slot array (from the page allocator unless it is given
// another), so once a group exists finding it again
// allocates nothing. The map keeps each key's hash, so maps filled on
// separate threads can be merged into one (or into shards picked by hash)
// without hashing again. A map and its arena belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text_map.h"
#include "common/text.h"

namespace tavix {

// The byte pair between two parts of a composite key.
inline constexpr char kKeyPartSeparator[2] = {'\0', '\x01'};
// The byte pair that stands for a 0x00 byte inside a part.
inline constexpr char kKeyPartZero[2] = {'\0', '\xff'};

// Appends `part` to the composite key in `key`, after a separator unless it
// is the first part. Used only for keys of two or more parts.
void appendCompositeKeyPart(std::string& key, FieldSlice part, bool first);

// Splits the composite key of `part_count` parts (built with
// appendCompositeKeyPart, or a single part) into parts[0, part_count). Parts
// without a 0x00 byte are views into `key`; a part that held one is decoded
// into a copy from `arena`. Returns OutOfMemory when that copy fails.
[[nodiscard]] Error splitCompositeKey(FieldSlice key, size_t part_count, FieldSlice* parts,
                                      ArenaAllocator& arena) noexcept;

// Slots for `groups` groups without growing: the smallest power of two, at
// least 8, that holds them under 80 % load.
size_t groupMapCapacityFor(size_t groups) noexcept;

template <typename Value>
class GroupMap {
  static_assert(std::is_trivially_destructible_v<Value>,
                "groups live in an arena, which runs no destructors");

 public:
  struct Group {
    FieldSlice key;  // the composite key, copied into the arena
    Value value;     // value-initialised when the group is added
  };

  GroupMap() noexcept = default;
  // A map whose slot arrays come from `slots` (the page allocator by default).
  explicit GroupMap(Allocator slots) noexcept : slot_memory_(slots) {}
  ~GroupMap() { release(); }
  GroupMap(const GroupMap&) = delete;
  GroupMap& operator=(const GroupMap&) = delete;
  GroupMap(GroupMap&& other) noexcept { *this = std::move(other); }
  GroupMap& operator=(GroupMap&& other) noexcept {
    if (this != &other) {
      release();
      slot_memory_ = other.slot_memory_;
      slots_ = std::exchange(other.slots_, nullptr);
      capacity_ = std::exchange(other.capacity_, 0);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }

  // Makes room for `groups` groups without growing. Returns OutOfMemory, the
  // map unchanged, when the slot array cannot be had.
  [[nodiscard]] Error reserve(size_t groups) noexcept {
    const size_t capacity = groupMapCapacityFor(groups);
    return capacity > capacity_ ? rehash(capacity) : Error::ok;
  }

  // Sets `group` to the group of `key` (whose hash is `hash`, from
  // hashGroupKey), adding it when there is none: the key is copied into
  // `arena` and the value value-initialised, and `added` is set so the
  // caller can fill it. Returns OutOfMemory when the map cannot grow or the
  // arena fails; the map is then unchanged.
  [[nodiscard]] Error findOrAdd(FieldSlice key, uint64_t hash, ArenaAllocator& arena,
                                Group*& group, bool& added) noexcept {
    if (capacity_ != 0) {
      size_t i = static_cast<size_t>(hash) & (capacity_ - 1);
      for (;; i = (i + 1) & (capacity_ - 1)) {
        const Slot& slot = slots_[i];
        if (slot.group == nullptr) break;
        if (slot.hash == hash && slot.group->key == key) {
          group = slot.group;
          added = false;
          return Error::ok;
        }
      }
      if ((size_ + 1) * 5 <= capacity_ * 4) return insertAt(i, key, hash, arena, group, added);
    }
    TAVIX_TRY(rehash(capacity_ == 0 ? groupMapCapacityFor(1) : capacity_ * 2));
    return insertAt(emptySlotFor(hash), key, hash, arena, group, added);
  }

  // The group of `key`, or null.
  Group* find(FieldSlice key, uint64_t hash) const noexcept {
    if (capacity_ == 0) return nullptr;
    for (size_t i = static_cast<size_t>(hash) & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
      const Slot& slot = slots_[i];
      if (slot.group == nullptr) return nullptr;
      if (slot.hash == hash && slot.group->key == key) return slot.group;
    }
  }

  // Starts loading the first slot a lookup of `hash` reads, so that a
  // lookup a few records later finds it in cache.
  void prefetchSlot(uint64_t hash) const noexcept {
    if (capacity_ != 0) __builtin_prefetch(&slots_[static_cast<size_t>(hash) & (capacity_ - 1)]);
  }

  // Starts loading the group a lookup of `hash` compares first, the group of
  // the first slot along its probe that holds the same hash (looked for
  // among the few slots an earlier prefetchSlot has brought in), and returns
  // it: the group of the key unless two keys share the hash, or null when
  // none of those slots holds the hash. Groups never move, so the pointer
  // stays valid while the map grows.
  Group* prefetchGroup(uint64_t hash) const noexcept {
    if (capacity_ == 0) return nullptr;
    constexpr size_t kProbedSlots = 4;  // a cache line of slots
    size_t i = static_cast<size_t>(hash) & (capacity_ - 1);
    for (size_t n = 0; n < kProbedSlots; ++n, i = (i + 1) & (capacity_ - 1)) {
      const Slot& slot = slots_[i];
      if (slot.group == nullptr) return nullptr;
      if (slot.hash == hash) {
        __builtin_prefetch(slot.group);
        return slot.group;
      }
    }
    return nullptr;
  }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }

  // Calls f(hash, group) for every group, in slot order (which depends on
  // the hashes, not on the keys' order).
  template <typename F>
  void forEachGroup(F&& f) const {
    for (size_t i = 0; i < capacity_; ++i)
      if (slots_[i].group != nullptr) f(slots_[i].hash, *slots_[i].group);
  }

 private:
  static constexpr size_t kGroupBlockAlign = 64;

  struct Slot {
    uint64_t hash;
    Group* group;  // null: empty slot
  };

  size_t emptySlotFor(uint64_t hash) const noexcept {
    size_t i = static_cast<size_t>(hash) & (capacity_ - 1);
    while (slots_[i].group != nullptr) i = (i + 1) & (capacity_ - 1);
    return i;
  }

  // A group's block holds its key bytes right before the group, the block
  // aligned to a cache line: a lookup that finds the group reads the key's
  // length, its bytes and the start of the value (where a count lives) from
  // one line when the key is short, instead of from two or three.
  Error insertAt(size_t i, FieldSlice key, uint64_t hash, ArenaAllocator& arena, Group*& group,
                 bool& added) noexcept {
    static_assert(alignof(Group) <= kGroupBlockAlign);
    const size_t lead = (key.size() + alignof(Group) - 1) & ~(alignof(Group) - 1);
    char* block = static_cast<char*>(arena.alloc(lead + sizeof(Group), kGroupBlockAlign));
    if (block == nullptr) return Error::OutOfMemory;
    char* key_copy = block + lead - key.size();
    if (!key.empty()) std::memcpy(key_copy, key.data(), key.size());
    group = ::new (block + lead) Group{FieldSlice(key_copy, key.size()), Value{}};
    slots_[i] = Slot{hash, group};
    ++size_;
    added = true;
    return Error::ok;
  }

  Error rehash(size_t capacity) noexcept {
    const size_t bytes = capacity * sizeof(Slot);
    Slot* slots = static_cast<Slot*>(slot_memory_.alloc(bytes, alignof(Slot)));
    if (slots == nullptr) return Error::OutOfMemory;
    std::memset(static_cast<void*>(slots), 0, bytes);
    Slot* old = std::exchange(slots_, slots);
    const size_t old_capacity = std::exchange(capacity_, capacity);
    for (size_t i = 0; i < old_capacity; ++i)
      if (old[i].group != nullptr) slots_[emptySlotFor(old[i].hash)] = old[i];
    slot_memory_.free(old, old_capacity * sizeof(Slot));
    return Error::ok;
  }

  void release() noexcept {
    slot_memory_.free(slots_, capacity_ * sizeof(Slot));
    slots_ = nullptr;
    capacity_ = 0;
    size_ = 0;
  }

  Allocator slot_memory_ = pageAllocator();
  Slot* slots_ = nullptr;
  size_t capacity_ = 0;  // 0 or a power of two
  size_t size_ = 0;
};

// The hash under which the group map keeps a composite key.
inline uint64_t hashGroupKey(FieldSlice key) noexcept { return hashText(key); }

}  // namespace tavix
