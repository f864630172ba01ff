#include "exec/group/parallel_group.h"

#include <algorithm>
#include <new>

namespace tavix {

bool groupScanRunsInParallel(uint64_t input_bytes, uint64_t thread_count_option,
                             size_t& workers) noexcept {
  workers = resolveWorkerCount(thread_count_option, input_bytes);
  return input_bytes >= kParallelMinBytes && workers >= 2;
}

size_t workerGroupCapacity(uint64_t range_bytes) noexcept {
  return std::min<size_t>(initialGroupCapacity(range_bytes), 2048);
}

GroupShards::GroupShards(const std::vector<GroupKeySpec>& keys,
                         std::span<const AggregateSpec> specs, size_t workers)
    : keys_(keys), specs_(specs) {
  shards_.resize(std::max(workers, kMinGroupShards));
  for (auto& shard : shards_) shard = std::make_unique<GroupShard>(keys_, specs_);
}

Error GroupShards::clear() {
  try {
    for (auto& shard : shards_)
      if (shard->table.map().size() != 0) shard = std::make_unique<GroupShard>(keys_, specs_);
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return Error::ok;
}

size_t GroupShards::groupCount() const noexcept {
  size_t n = 0;
  for (const auto& shard : shards_) n += shard->table.map().size();
  return n;
}

}  // namespace tavix
