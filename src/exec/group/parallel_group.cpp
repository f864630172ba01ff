#include "exec/group/parallel_group.h"

#include <algorithm>
#include <new>
#include <span>
#include <vector>

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
  for (auto& shard : shards_)
    shard = std::make_unique<GroupShard>(keys_, specs_, shard_memory_.allocator());
}

Error GroupShards::clear() {
  try {
    for (auto& shard : shards_)
      if (shard->table.map().size() != 0)
        shard = std::make_unique<GroupShard>(keys_, specs_, shard_memory_.allocator());
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
  return Error::ok;
}

namespace parallel_group_detail {

void listPrivateGroupsByShard(const GroupShards& shards, GroupByWorkerContext& context) {
  const GroupEntryMap& map = context.private_table->map();
  context.shard_starts.assign(shards.size() + 1, 0);
  map.forEachGroup([&](uint64_t hash, const Group&) { ++context.shard_starts[shards.indexOf(hash) + 1]; });
  for (size_t s = 0; s < shards.size(); ++s) context.shard_starts[s + 1] += context.shard_starts[s];
  context.private_groups.resize(map.size());
  std::vector<size_t> next(context.shard_starts.begin(), context.shard_starts.end() - 1);
  map.forEachGroup([&](uint64_t hash, const Group& group) {
    context.private_groups[next[shards.indexOf(hash)]++] = HashedGroup{hash, &group};
  });
}

}  // namespace parallel_group_detail

namespace {

using Entry = GroupSortEntry<Group>;

bool entryLess(const Entry& a, const Entry& b) noexcept { return groupEntryLess(a, b); }

// Groups below which one thread orders the shards: starting threads costs
// more than sorting this few.
constexpr size_t kParallelOrderMinGroups = 16'384;
// Key ranges per thread of the merge, so a range that happens to be large
// does not leave the other threads idle.
constexpr size_t kKeyRangesPerThread = 4;

// Merges the sorted runs [begin[i], end[i]) into `out` in key order.
void mergeRuns(std::span<const Entry*> begin, std::span<const Entry*> end, Entry* out) {
  // A min-heap of the runs not yet used up, by their next entry.
  std::vector<size_t> heap;
  heap.reserve(begin.size());
  for (size_t i = 0; i < begin.size(); ++i)
    if (begin[i] != end[i]) heap.push_back(i);
  const auto later = [&](size_t a, size_t b) { return entryLess(*begin[b], *begin[a]); };
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    const size_t run = heap.back();
    *out++ = *begin[run]++;
    if (begin[run] == end[run]) {
      heap.pop_back();
    } else {
      std::push_heap(heap.begin(), heap.end(), later);
    }
  }
}

}  // namespace

Error orderShardGroups(GroupShards& shards, size_t threads, std::vector<Entry>& out) {
  out.clear();
  const size_t total = shards.groupCount();
  if (threads < 2 || total < kParallelOrderMinGroups) {
    out.reserve(total);
    for (size_t i = 0; i < shards.size(); ++i) collectGroupEntries(shards[i].table.map(), out);
    sortGroupEntries(out);
    return Error::ok;
  }
  std::vector<std::vector<Entry>> runs(shards.size());
  TAVIX_TRY(runParallelTasks(threads, shards.size(), [&](size_t s) -> Error {
    runs[s].reserve(shards[s].table.map().size());
    collectGroupEntries(shards[s].table.map(), runs[s]);
    sortGroupEntries(runs[s]);
    return Error::ok;
  }));
  // Hashes spread the keys evenly over the shards, so the largest shard's
  // keys at even steps cut every shard into ranges of about equal size.
  const std::vector<Entry>& largest = *std::max_element(
      runs.begin(), runs.end(), [](const auto& a, const auto& b) { return a.size() < b.size(); });
  const size_t ranges = std::min(threads * kKeyRangesPerThread, largest.size());
  std::vector<const Entry*> splitters;  // ranges - 1 keys, ascending
  for (size_t r = 1; r < ranges; ++r) splitters.push_back(&largest[r * largest.size() / ranges]);
  out.resize(total);
  return runParallelTasks(threads, ranges, [&](size_t r) -> Error {
    // Range r holds the keys at or above splitter r - 1 and below splitter
    // r; its place in `out` is the number of keys below its first splitter.
    std::vector<const Entry*> begin(runs.size());
    std::vector<const Entry*> end(runs.size());
    size_t at = 0;
    for (size_t s = 0; s < runs.size(); ++s) {
      const Entry* first = runs[s].data();
      const Entry* last = first + runs[s].size();
      begin[s] = r == 0 ? first : std::lower_bound(first, last, *splitters[r - 1], entryLess);
      end[s] = r + 1 == ranges ? last : std::lower_bound(begin[s], last, *splitters[r], entryLess);
      at += static_cast<size_t>(begin[s] - first);
    }
    mergeRuns(begin, end, out.data() + at);
    return Error::ok;
  });
}

size_t GroupShards::groupCount() const noexcept {
  size_t n = 0;
  for (const auto& shard : shards_) n += shard->table.map().size();
  return n;
}

}  // namespace tavix
