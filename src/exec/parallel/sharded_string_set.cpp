#include "exec/parallel/sharded_string_set.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tavix {

namespace {

// The first array of a shard: enough for a handful of texts.
constexpr size_t kInitialCapacity = 16;

// Entries a batch loads ahead of the one it looks up: enough to keep the
// memory system busy, few enough that the loaded lines are still in the
// first-level cache when their turn comes.
constexpr size_t kPrefetchAhead = 16;

}  // namespace

Error ShardedStringSet::Table::reserve(size_t more) noexcept {
  if ((size + more) * 5 <= capacity * 4) return Error::ok;
  size_t grown = capacity == 0 ? kInitialCapacity : capacity * 2;
  while ((size + more) * 5 > grown * 4) grown *= 2;
  const Allocator heap = cAllocator();
  auto* fresh = static_cast<SetEntry*>(heap.alloc(grown * sizeof(SetEntry), alignof(SetEntry)));
  if (fresh == nullptr) return Error::OutOfMemory;
  std::memset(static_cast<void*>(fresh), 0, grown * sizeof(SetEntry));
  const size_t mask = grown - 1;
  for (size_t i = 0; i < capacity; ++i) {
    const SetEntry& old = slots[i];
    if (old.free()) continue;
    size_t j = static_cast<size_t>(old.hash) & mask;
    while (!fresh[j].free()) j = (j + 1) & mask;
    fresh[j] = old;
  }
  heap.free(slots, capacity * sizeof(SetEntry));
  slots = fresh;
  capacity = grown;
  return Error::ok;
}

Error ShardedStringSet::Table::add(const SetEntry& entry, const Allocator& keys) noexcept {
  const size_t mask = capacity - 1;
  size_t i = static_cast<size_t>(entry.hash) & mask;
  for (;; i = (i + 1) & mask) {
    const SetEntry& slot = slots[i];
    if (slot.free()) break;
    if (slot.sameText(entry)) return Error::ok;
  }
  SetEntry& slot = slots[i];
  slot = entry;
  if (entry.code == SetEntry::kOutOfLine) {
    std::string_view copy;
    if (!keys.copyText(entry.text(), copy)) {
      slot.code = SetEntry::kFree;
      return Error::OutOfMemory;
    }
    slot.setOutOfLine(copy.data(), copy.size());
  }
  ++size;
  return Error::ok;
}

void ShardedStringSet::Table::release() noexcept {
  cAllocator().free(slots, capacity * sizeof(SetEntry));
  slots = nullptr;
  capacity = 0;
  size = 0;
}

ShardedStringSet::~ShardedStringSet() {
  if (shards_ == nullptr) return;
  for (size_t i = 0; i < kShardCount; ++i) shards_[i].table.release();
}

Error ShardedStringSet::init() noexcept {
  shards_.reset(new (std::nothrow) Shard[kShardCount]);
  return shards_ != nullptr ? Error::ok : Error::OutOfMemory;
}

Error ShardedStringSet::insert(std::string_view text, uint64_t hash) noexcept {
  SetEntry entry;
  entry.assign(text, hash);
  return insertBatch(&entry, 1);
}

Error ShardedStringSet::addLocked(Shard& shard, const SetEntry* entries, size_t count) noexcept {
  Table& table = shard.table;
  // Room for the whole batch first, so that no entry moves while the batch
  // loads the slots it is about to look at.
  TAVIX_TRY(table.reserve(count));
  const Allocator keys = shard.texts.allocator();
  const size_t ahead = std::min(count, kPrefetchAhead);
  for (size_t i = 0; i < ahead; ++i) table.prefetch(entries[i].hash);
  for (size_t i = 0; i < count; ++i) {
    if (i + ahead < count) table.prefetch(entries[i + ahead].hash);
    TAVIX_TRY(table.add(entries[i], keys));
  }
  return Error::ok;
}

Error ShardedStringSet::insertBatch(const SetEntry* entries, size_t count) noexcept {
  if (count == 0) return Error::ok;
  Shard& shard = shards_[shardOf(entries[0].hash)];
  platform::MutexLock hold(shard.lock);
  return addLocked(shard, entries, count);
}

Error ShardedStringSet::tryInsertBatch(const SetEntry* entries, size_t count, bool& taken) noexcept {
  taken = false;
  if (count == 0) return Error::ok;
  Shard& shard = shards_[shardOf(entries[0].hash)];
  if (!shard.lock.tryLock()) return Error::ok;
  taken = true;
  const Error e = addLocked(shard, entries, count);
  shard.lock.unlock();
  return e;
}

Error ShardedStringSetWriter::insert(std::string_view text, uint64_t hash) noexcept {
  if (text.size() > kBatchBytes) return set_.insert(text, hash);
  const size_t shard = ShardedStringSet::shardOf(hash);
  Fill& fill = fills_[shard];
  Batch& batch = batches_[shard];
  const size_t bytes = text.size() > SetEntry::kInlineBytes ? text.size() : 0;
  if (fill.count == kBatchLimit || kBatchBytes - fill.used < bytes) TAVIX_TRY(insertBatch(shard));
  if (bytes == 0) {
    batch.entries[fill.count++].assign(text, hash);
  } else {
    char* at = batch.bytes + fill.used;
    std::memcpy(at, text.data(), bytes);
    fill.used += static_cast<uint32_t>(bytes);
    batch.entries[fill.count++].assign(std::string_view(at, bytes), hash);
  }
  if (fill.count >= kBatchTexts && fill.count % kRetryTexts == 0) return tryInsertBatch(shard);
  return Error::ok;
}

Error ShardedStringSetWriter::insertBatch(size_t shard) noexcept {
  const Error e = set_.insertBatch(batches_[shard].entries, fills_[shard].count);
  fills_[shard] = Fill{};
  return e;
}

Error ShardedStringSetWriter::tryInsertBatch(size_t shard) noexcept {
  bool taken = false;
  const Error e = set_.tryInsertBatch(batches_[shard].entries, fills_[shard].count, taken);
  if (taken) fills_[shard] = Fill{};
  return e;
}

Error ShardedStringSetWriter::flush() noexcept {
  for (size_t shard = 0; shard < ShardedStringSet::kShardCount; ++shard) TAVIX_TRY(insertBatch(shard));
  return Error::ok;
}

uint64_t ShardedStringSet::size() const noexcept {
  uint64_t n = 0;
  if (shards_ == nullptr) return 0;
  for (size_t i = 0; i < kShardCount; ++i) n += shards_[i].table.size;
  return n;
}

}  // namespace tavix
