#include "exec/parallel/sharded_string_set.h"

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

uint64_t ShardedStringSet::size() const noexcept {
  uint64_t n = 0;
  if (shards_ == nullptr) return 0;
  for (size_t i = 0; i < kShardCount; ++i) n += shards_[i].set.size();
  return n;
}

}  // namespace tavix
