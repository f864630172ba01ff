#include "exec/parallel/sharded_string_set.h"

#include <cstring>
#include <new>

namespace tavix {

ShardedStringSet::~ShardedStringSet() {
  if (shards_ == nullptr) return;
  for (size_t i = 0; i < kShardCount; ++i) shards_[i].set.release(cAllocator());
}

Error ShardedStringSet::init() noexcept {
  shards_.reset(new (std::nothrow) Shard[kShardCount]);
  return shards_ != nullptr ? Error::ok : Error::OutOfMemory;
}

Error ShardedStringSet::insert(std::string_view text, uint64_t hash,
                               std::string_view& stored) noexcept {
  Shard& shard = shards_[shardOf(hash)];
  platform::MutexLock hold(shard.lock);
  bool added = false;
  return shard.set.insert(text, hash, cAllocator(), shard.texts.allocator(), stored, added);
}

Error ShardedStringSet::insertBatch(const std::string_view* texts, const uint64_t* hashes,
                                    size_t count) noexcept {
  if (count == 0) return Error::ok;
  Shard& shard = shards_[shardOf(hashes[0])];
  const Allocator keys = shard.texts.allocator();
  platform::MutexLock hold(shard.lock);
  for (size_t i = 0; i < count; ++i) {
    std::string_view stored;
    bool added = false;
    TAVIX_TRY(shard.set.insert(texts[i], hashes[i], cAllocator(), keys, stored, added));
  }
  return Error::ok;
}

Error ShardedStringSetWriter::insert(std::string_view text, uint64_t hash) noexcept {
  if (text.size() > kBatchBytes) {
    std::string_view stored;
    return set_.insert(text, hash, stored);
  }
  Batch& batch = batches_[ShardedStringSet::shardOf(hash)];
  if (batch.count == kBatchTexts || kBatchBytes - batch.used < text.size()) TAVIX_TRY(insertBatch(batch));
  char* at = batch.bytes + batch.used;
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  batch.used += text.size();
  batch.hashes[batch.count] = hash;
  batch.texts[batch.count] = std::string_view(at, text.size());
  ++batch.count;
  return Error::ok;
}

Error ShardedStringSetWriter::insertBatch(Batch& batch) noexcept {
  const Error e = set_.insertBatch(batch.texts, batch.hashes, batch.count);
  batch.count = 0;
  batch.used = 0;
  return e;
}

Error ShardedStringSetWriter::flush() noexcept {
  for (Batch& batch : batches_) TAVIX_TRY(insertBatch(batch));
  return Error::ok;
}

uint64_t ShardedStringSet::size() const noexcept {
  uint64_t n = 0;
  if (shards_ == nullptr) return 0;
  for (size_t i = 0; i < kShardCount; ++i) n += shards_[i].set.size();
  return n;
}

}  // namespace tavix
