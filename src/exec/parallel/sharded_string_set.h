// `ShardedStringSet`: a set of distinct texts that any number of worker
// threads insert into at once (the values of a count(DISTINCT ...) over a
// large input, the distinct keys of a parallel grouping scan).
//
// The set is split into 64 shards, each with its own lock, its own table of
// texts and its own arena for the copies of long texts; a text lives in the
// one shard its hash picks, so two inserts wait for each other only when
// their texts fall into the same shard, and the shards never hold the same
// text twice.
//
// A shard's table is one flat array of 32-byte entries (open addressing,
// linear probing, a power of two in size, grown at 80 % load). An entry keeps
// the text's full hash and, for a text of up to 20 bytes, the text itself, so
// looking up a short text reads one entry and nothing else; a longer text is
// copied into the shard's arena and the entry points at the copy.
//
// Threads: `insert` may run on any number of threads at once. `init`, the
// count, the walk and the destructor belong to the owner and run only while
// no thread inserts (after every inserting worker has been joined, which
// makes the workers' inserts visible to the owner).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"
#include "common/hash.h"
#include "platform/platform.h"

namespace tavix {

// One text as a shard's table holds it, and as a writer's batch carries it
// to the table: its hash, a code for its length and the text itself, or
// where a longer text lies.
struct SetEntry {
  // Bytes of a text kept inside the entry.
  static constexpr size_t kInlineBytes = 20;
  // `code` of a free slot, and of a text longer than kInlineBytes; any other
  // code is 1 + the length of a text kept inside the entry.
  static constexpr uint32_t kFree = 0;
  static constexpr uint32_t kOutOfLine = 0xffffffffu;

  uint64_t hash;
  uint32_t code;
  // A short text, the rest zero (so two short texts compare as their entries);
  // for a longer text, the address at bytes + 4 and the length at bytes + 12.
  char bytes[kInlineBytes];

  // Makes this the entry of `text` of hash `hash`, written in place (a
  // batch's entry is read back only when the batch goes to its shard); a
  // long text's entry points at `text`.
  void assign(std::string_view text, uint64_t hash) noexcept {
    this->hash = hash;
    std::memset(bytes, 0, sizeof bytes);
    const size_t n = text.size();
    if (n > kInlineBytes) {
      code = kOutOfLine;
      setOutOfLine(text.data(), n);
      return;
    }
    code = static_cast<uint32_t>(n) + 1;
    // Two fixed-size copies that overlap cover any length of their range.
    const char* p = text.data();
    if (n >= 16) {
      std::memcpy(bytes, p, 16);
      std::memcpy(bytes + n - 4, p + n - 4, 4);
    } else if (n >= 8) {
      std::memcpy(bytes, p, 8);
      std::memcpy(bytes + n - 8, p + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(bytes, p, 4);
      std::memcpy(bytes + n - 4, p + n - 4, 4);
    } else if (n > 0) {
      bytes[0] = p[0];
      bytes[n / 2] = p[n / 2];
      bytes[n - 1] = p[n - 1];
    }
  }

  bool free() const noexcept { return code == kFree; }

  std::string_view text() const noexcept {
    if (code != kOutOfLine) return std::string_view(bytes, code - 1);
    const char* data;
    uint64_t size;
    std::memcpy(&data, bytes + 4, sizeof data);
    std::memcpy(&size, bytes + 12, sizeof size);
    return std::string_view(data, static_cast<size_t>(size));
  }

  void setOutOfLine(const char* data, size_t size) noexcept {
    const uint64_t size64 = size;
    std::memcpy(bytes + 4, &data, sizeof data);
    std::memcpy(bytes + 12, &size64, sizeof size64);
  }

  // Whether the two entries hold the same text.
  bool sameText(const SetEntry& other) const noexcept {
    if (hash != other.hash || code != other.code) return false;
    if (code != kOutOfLine) return std::memcmp(bytes, other.bytes, kInlineBytes) == 0;
    const std::string_view a = text();
    const std::string_view b = other.text();
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
  }
};

static_assert(sizeof(SetEntry) == 32, "two entries to a cache line");

class ShardedStringSet {
 public:
  static constexpr size_t kShardCount = 64;

  ShardedStringSet() noexcept = default;
  ~ShardedStringSet();
  ShardedStringSet(const ShardedStringSet&) = delete;
  ShardedStringSet& operator=(const ShardedStringSet&) = delete;

  // Makes the 64 empty shards. Returns OutOfMemory. Owner only.
  [[nodiscard]] Error init() noexcept;

  // Adds `text` (whose hash is `hash`, from hashText) unless it is there; the
  // set keeps its own copy. Returns OutOfMemory, the set unchanged. Any
  // thread, any number at once.
  [[nodiscard]] Error insert(std::string_view text, uint64_t hash) noexcept;

  [[nodiscard]] Error insert(std::string_view text) noexcept { return insert(text, hashText(text)); }

  // Adds `count` entries (made by SetEntry::assign) that all fall into the shard of
  // `entries[0].hash` (the batch of a `ShardedStringSetWriter`) under one
  // taking of its lock. Returns OutOfMemory, the entries before the failing
  // one added.
  [[nodiscard]] Error insertBatch(const SetEntry* entries, size_t count) noexcept;

  // As insertBatch when the shard's lock is free; when another thread holds
  // it, adds nothing and leaves `taken` false (the caller keeps the batch
  // and goes on with other work rather than wait).
  [[nodiscard]] Error tryInsertBatch(const SetEntry* entries, size_t count, bool& taken) noexcept;

  // The shard a text of this hash goes to.
  static size_t shardOf(uint64_t hash) noexcept { return static_cast<size_t>(hash >> 58); }

  // The number of distinct texts: the sum of the shard sizes. Owner only.
  uint64_t size() const noexcept;

  // Calls f(text) for every text, shard by shard in slot order (an order of
  // no meaning). The views live as long as the set. Owner only.
  template <typename F>
  void forEach(F&& f) const {
    if (shards_ == nullptr) return;
    for (size_t i = 0; i < kShardCount; ++i) {
      const Table& table = shards_[i].table;
      for (size_t s = 0; s < table.capacity; ++s)
        if (!table.slots[s].free()) f(table.slots[s].text());
    }
  }

 private:
  // A shard's texts: the flat entry array, on the heap.
  struct Table {
    SetEntry* slots = nullptr;
    size_t capacity = 0;  // 0 or a power of two
    size_t size = 0;

    // Grows the array, when needed, so that `more` texts can be added
    // without growing again. Returns OutOfMemory, the table unchanged.
    [[nodiscard]] Error reserve(size_t more) noexcept;
    // Adds the text of `entry` unless it is there, copying a long text with
    // `keys`. Room must have been reserved.
    [[nodiscard]] Error add(const SetEntry& entry, const Allocator& keys) noexcept;
    void prefetch(uint64_t hash) const noexcept {
      __builtin_prefetch(&slots[static_cast<size_t>(hash) & (capacity - 1)]);
    }
    void release() noexcept;
  };

  // One lock, table and arena; a cache line of its own for the lock, so that
  // workers taking neighbouring shards do not contend for one line.
  struct alignas(64) Shard {
    platform::Mutex lock;
    Table table;
    ArenaAllocator texts;  // the copies of its long texts
  };

  // `shardOf` takes the top bits of the hash, since the shard's table picks
  // slots by the low bits (a shard chosen by the low bits would crowd its
  // texts into one in 64 slots of its own table).
  static_assert(kShardCount == 64, "shardOf takes the top 6 bits of the hash");

  // Adds the entries to a shard whose lock the caller holds.
  [[nodiscard]] static Error addLocked(Shard& shard, const SetEntry* entries, size_t count) noexcept;

  std::unique_ptr<Shard[]> shards_;
};

// One worker's way into a `ShardedStringSet`: texts are copied into one
// small batch per shard and a full batch goes into its shard under one
// taking of the lock, so a worker takes a shard lock once per batch rather
// than once per text (a count(DISTINCT) over a large input inserts one text
// per record). The set holds a text only once the writer has been flushed.
// Belongs to one worker thread; about 520 KiB, so it lives on the heap.
class ShardedStringSetWriter {
 public:
  explicit ShardedStringSetWriter(ShardedStringSet& set) noexcept : set_(set) {}

  // Adds `text` (whose hash is `hash`, from hashText) to the shard's batch.
  // A batch of kBatchTexts texts or more goes to its shard when the shard's
  // lock is free, tried again every kRetryTexts texts; a batch of
  // kBatchLimit texts, or one whose bytes cannot take the text, waits for
  // the lock. A text longer than a whole batch goes in at once. Returns
  // OutOfMemory.
  [[nodiscard]] Error insert(std::string_view text, uint64_t hash) noexcept;

  // Inserts every batch. Returns OutOfMemory.
  [[nodiscard]] Error flush() noexcept;

 private:
  // Texts one batch holds before it goes to its shard, and bytes for its
  // long texts: enough that a shard lock is taken about once per 64 texts,
  // small enough that the 64 batches of a writer stay in a core's
  // second-level cache. A batch whose shard is busy keeps growing, up to
  // kBatchLimit texts, so that a worker seldom sleeps on a lock another
  // worker holds for a moment.
  static constexpr size_t kBatchTexts = 64;
  static constexpr size_t kRetryTexts = 16;
  static constexpr size_t kBatchLimit = 128;
  static constexpr size_t kBatchBytes = 4096;

  struct Batch {
    SetEntry entries[kBatchLimit];
    char bytes[kBatchBytes];  // the long texts the entries point at
  };
  // How full each batch is, apart from the batches so that all 64 stay in
  // a few cache lines.
  struct Fill {
    uint32_t count = 0;
    uint32_t used = 0;  // bytes of the batch's `bytes` taken
  };

  [[nodiscard]] Error insertBatch(size_t shard) noexcept;
  [[nodiscard]] Error tryInsertBatch(size_t shard) noexcept;

  ShardedStringSet& set_;
  Fill fills_[ShardedStringSet::kShardCount];
  Batch batches_[ShardedStringSet::kShardCount];
};

}  // namespace tavix
