// `ShardedStringSet`: a set of distinct texts that any number of worker
// threads insert into at once (the values of a count(DISTINCT ...) over a
// large input, the distinct keys of a parallel grouping scan).
//
// The set is split into 64 shards, each with its own lock, its own
// `FlatTextSet` and its own arena for the copies of its texts; a text lives
// in the one shard its hash picks, so two inserts wait for each other only
// when their texts fall into the same shard, and the shards never hold the
// same text twice.
//
// Threads: `insert` may run on any number of threads at once. `init`, the
// count, the walk and the destructor belong to the owner and run only while
// no thread inserts (after every inserting worker has been joined, which
// makes the workers' inserts visible to the owner).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"
#include "common/flat_text_set.h"
#include "common/hash.h"
#include "platform/platform.h"

namespace tavix {

class ShardedStringSet {
 public:
  static constexpr size_t kShardCount = 64;

  ShardedStringSet() noexcept = default;
  ~ShardedStringSet();
  ShardedStringSet(const ShardedStringSet&) = delete;
  ShardedStringSet& operator=(const ShardedStringSet&) = delete;

  // Makes the 64 empty shards. Returns OutOfMemory. Owner only.
  [[nodiscard]] Error init() noexcept;

  // Adds `text` (whose hash is `hash`, from hashText) unless it is there:
  // the text is copied into the shard's arena (the empty text needs no copy)
  // and `stored` becomes the kept copy, which lives as long as the set;
  // `stored` is the kept copy of an equal text otherwise. Returns
  // OutOfMemory, the set unchanged. Any thread, any number at once.
  [[nodiscard]] Error insert(std::string_view text, uint64_t hash, std::string_view& stored) noexcept;

  [[nodiscard]] Error insert(std::string_view text) noexcept {
    std::string_view stored;
    return insert(text, hashText(text), stored);
  }

  // Adds `count` texts that all fall into the shard of `hashes[0]` (the
  // batch of a `ShardedStringSetWriter`) under one taking of its lock.
  // Returns OutOfMemory, the texts before the failing one added.
  [[nodiscard]] Error insertBatch(const std::string_view* texts, const uint64_t* hashes,
                                  size_t count) noexcept;

  // The shard a text of this hash goes to.
  static size_t shardOf(uint64_t hash) noexcept { return static_cast<size_t>(hash >> 58); }

  // The number of distinct texts: the sum of the shard sizes. Owner only.
  uint64_t size() const noexcept;

  // Calls f(text) for every text, shard by shard in slot order (an order of
  // no meaning). Owner only.
  template <typename F>
  void forEach(F&& f) const {
    if (shards_ == nullptr) return;
    for (size_t i = 0; i < kShardCount; ++i)
      shards_[i].set.forEach([&](std::string_view key, uint64_t) { f(key); });
  }

 private:
  // One lock, set and arena; a cache line of its own for the lock, so that
  // workers taking neighbouring shards do not contend for one line.
  struct alignas(64) Shard {
    platform::Mutex lock;
    FlatTextSet set;       // its slot array on the heap
    ArenaAllocator texts;  // the copies of its texts
  };

  // `shardOf` takes the top bits of the hash, since the shard's set picks
  // slots by the low bits (a shard chosen by the low bits would crowd its
  // texts into one in 64 slots of its own set).
  static_assert(kShardCount == 64, "shardOf takes the top 6 bits of the hash");

  std::unique_ptr<Shard[]> shards_;
};

// One worker's way into a `ShardedStringSet`: texts are copied into one
// small batch per shard and a full batch goes into its shard under one
// taking of the lock, so a worker takes a shard lock once per batch rather
// than once per text (a count(DISTINCT) over a large input inserts one text
// per record). The set holds a text only once the writer has been flushed.
// Belongs to one worker thread; about 360 KiB, so it lives on the heap.
class ShardedStringSetWriter {
 public:
  explicit ShardedStringSetWriter(ShardedStringSet& set) noexcept : set_(set) {}

  // Adds `text` (whose hash is `hash`, from hashText) to the shard's batch,
  // inserting the batch first when the text does not fit in it; a text
  // longer than a whole batch goes in at once. Returns OutOfMemory.
  [[nodiscard]] Error insert(std::string_view text, uint64_t hash) noexcept;

  // Inserts every batch. Returns OutOfMemory.
  [[nodiscard]] Error flush() noexcept;

 private:
  // Texts and bytes one batch holds: enough that a shard lock is taken about
  // once per 64 texts, small enough that the 64 batches of a writer stay in
  // a core's second-level cache.
  static constexpr size_t kBatchTexts = 64;
  static constexpr size_t kBatchBytes = 4096;

  struct Batch {
    size_t count = 0;
    size_t used = 0;  // bytes of `bytes` taken
    uint64_t hashes[kBatchTexts];
    std::string_view texts[kBatchTexts];
    char bytes[kBatchBytes];
  };

  [[nodiscard]] Error insertBatch(Batch& batch) noexcept;

  ShardedStringSet& set_;
  Batch batches_[ShardedStringSet::kShardCount];
};

}  // namespace tavix
