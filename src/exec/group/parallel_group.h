// The grouping scan on worker threads, for inputs of more than 10 MiB.
//
// Each worker reads its record-aligned range of the input by positioned
// reads through the executor's descriptor, cuts and tests every record as
// the one-thread scan does (AggregateRecordCut), and folds it into a group
// table of its own, without any lock, until that table holds
// kPrivateGroupLimit groups. From the next record on (whether its group is
// new or already private) the worker sends every record to the shared group
// map: `GroupShards`, a list of tables each guarded by its own lock, the
// shard of a key picked from its hash. When the groups count rows only, a
// record needs nothing but its key, and the worker gathers keys per shard
// (ShardBatch) and takes a shard's lock once per kShardBatchRecords keys,
// loading slots and groups a few keys ahead of the lookups (the lookups
// wait on memory, a random slot and group each, far more than on the lock).
// After every worker has ended, the
// executor's thread folds each worker's private groups into the shards, in
// range order, and the output reads the shards.
//
// Order of a group's values: its shard entry takes what workers that had
// switched send while they run, in the order they take the shard's lock,
// then the private entries of the workers in range order, each in its
// worker's record order. A group_concat list is put back in record order:
// the shard marks every item with its range and whether the range kept it
// privately or sent it (privateListMark, sharedListMark), and the list is
// rendered in mark order. Additions into sums and averages follow the taking
// order, so their last bits may follow thread timing once a worker has
// switched; median values are ordered before use, and counts, minima, maxima,
// sets and variances do not depend on the order.
//
// Ownership and threads: the executor owns the shards and the workers for
// one scan. A worker writes its own context, and a shard only while holding
// that shard's lock, which it holds for one record's find-or-add and fold
// (or for one batch's);
// no lock is ever nested. The merge runs after every worker has been joined
// and takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "engine/expr/row_filter.h"
#include "exec/aggregate/aggregate_input.h"
#include "exec/aggregate/aggregate_records.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/group/group_keys.h"
#include "exec/group/group_map.h"
#include "exec/group/group_scan.h"
#include "exec/parallel/chunk_workers.h"
#include "platform/platform.h"

namespace tavix {

// Groups a worker keeps privately before it sends its records to the shards.
inline constexpr size_t kPrivateGroupLimit = 50'000;
// The fewest shards of the shared group map; more workers get one each.
inline constexpr size_t kMinGroupShards = 64;

// Whether the grouping scan over an input of `input_bytes` bytes runs on
// worker threads, and on how many (`workers`).
bool groupScanRunsInParallel(uint64_t input_bytes, uint64_t thread_count_option,
                             size_t& workers) noexcept;

// Groups a worker's table is sized for before its first record, by the
// length of its range.
size_t workerGroupCapacity(uint64_t range_bytes) noexcept;

// One shard of the shared group map.
struct GroupShard {
  GroupShard(const std::vector<GroupKeySpec>& keys, std::span<const AggregateSpec> specs)
      : table(keys, specs) {}

  platform::Mutex lock;  // guards `table` while workers run
  GroupTable table;
};

// The shared group map: max(workers, kMinGroupShards) shards.
class GroupShards {
 public:
  // `keys` and `specs` must outlive the shards. May throw std::bad_alloc.
  GroupShards(const std::vector<GroupKeySpec>& keys, std::span<const AggregateSpec> specs,
              size_t workers);

  // The shard of a key by its hash: the hash's upper half reduced to the
  // shard count, so the group map inside a shard, which picks slots by the
  // lower bits, sees them evenly spread.
  size_t indexOf(uint64_t hash) const noexcept {
    return static_cast<size_t>(((hash >> 32) * shards_.size()) >> 32);
  }
  GroupShard& shardOf(uint64_t hash) noexcept { return *shards_[indexOf(hash)]; }

  // Empties every shard. Returns OutOfMemory.
  [[nodiscard]] Error clear();

  size_t size() const noexcept { return shards_.size(); }
  GroupShard& operator[](size_t i) noexcept { return *shards_[i]; }
  const GroupShard& operator[](size_t i) const noexcept { return *shards_[i]; }

  // The number of groups over every shard.
  size_t groupCount() const noexcept;

 private:
  const std::vector<GroupKeySpec>& keys_;
  std::span<const AggregateSpec> specs_;
  std::vector<std::unique_ptr<GroupShard>> shards_;
};

// Records a worker gathers for one shard before it takes the shard's lock
// once for all of them, when its groups count rows only.
inline constexpr size_t kShardBatchRecords = 64;

// The keys (one after another in `keys`, each ending at its `key_ends`
// entry) and hashes a worker has gathered for one shard.
struct ShardBatch {
  std::vector<uint64_t> hashes;
  std::vector<size_t> key_ends;
  std::string keys;
};

// The per-worker record of the parallel grouping scan.
struct GroupByWorkerContext {
  std::unique_ptr<GroupTable> private_table;
  // One batch per shard, when the groups count rows only.
  std::vector<ShardBatch> batches;
  // Set at the first record that finds the private table full; never
  // cleared: from then on every record of the worker goes to the shards.
  bool switched_to_shards = false;
};

using GroupByWorker = ChunkWorker<GroupByWorkerContext>;

// What the workers share read-only.
struct ParallelGroupScan {
  const AggregateInput* input = nullptr;
  const std::vector<GroupKeySpec>* keys = nullptr;
  std::span<const AggregateSpec> specs;  // what every group accumulates
  const RowFilter* filter = nullptr;
  size_t field_span = 0;  // leading fields a record is cut to
  char delimiter = ',';
  uint64_t thread_count_option = 0;
};

namespace parallel_group_detail {

// The order marks of list items in a shard: range by range, a range's items
// taken privately (folded in by the merge) before those it sent to the
// shards, so putting a list in mark order puts it in record order.
inline uint32_t privateListMark(uint64_t range) noexcept { return static_cast<uint32_t>(2 * range); }
inline uint32_t sharedListMark(uint64_t range) noexcept { return static_cast<uint32_t>(2 * range + 1); }

// Whether the groups of `specs` keep lists whose order the shards must mark.
inline bool specsKeepLists(std::span<const AggregateSpec> specs) noexcept {
  for (const AggregateSpec& spec : specs)
    if (spec.kind == AggregateKind::group_concat) return true;
  return false;
}

// Whether every spec counts rows alone (count(*) without a condition): a
// record then gives its group nothing but its key, so records for the shards
// can wait in batches.
inline bool specsCountRowsOnly(std::span<const AggregateSpec> specs) noexcept {
  if (specs.empty()) return false;
  for (const AggregateSpec& spec : specs)
    if (spec.kind != AggregateKind::count || spec.has_column || spec.has_case) return false;
  return true;
}

// Takes a batch of records into one shard under one taking of its lock,
// loading the slots and groups of the records a few ahead while it looks up
// the current one, then empties the batch. `fold` gets no fields (the groups
// count rows only).
template <typename Fold>
[[nodiscard]] Error flushShardBatch(GroupShard& shard, ShardBatch& batch, Fold& fold) {
  constexpr size_t kAhead = 8;
  const size_t n = batch.hashes.size();
  {
    platform::MutexLock lock(shard.lock);
    GroupTable& table = shard.table;
    for (size_t j = 0; j < n && j < kAhead; ++j) table.prefetchSlot(batch.hashes[j]);
    size_t start = 0;
    for (size_t j = 0; j < n; ++j) {
      if (j + kAhead < n) table.prefetchSlot(batch.hashes[j + kAhead]);
      if (j + kAhead / 2 < n) table.prefetchGroup(batch.hashes[j + kAhead / 2]);
      const FieldSlice key(batch.keys.data() + start, batch.key_ends[j] - start);
      start = batch.key_ends[j];
      Group* group = nullptr;
      bool added = false;
      TAVIX_TRY(table.groupOfKey(key, batch.hashes[j], group, added));
      TAVIX_TRY(fold(*group, nullptr, 0, table));
    }
  }
  batch.hashes.clear();
  batch.key_ends.clear();
  batch.keys.clear();
  return Error::ok;
}

// Reads one worker's range into its private table and the shards;
// `fold(Group&, const FieldSlice* fields, size_t count, GroupTable&)` takes
// a record into its group of the given table.
template <typename Fold>
[[nodiscard]] Error scanGroupRange(const ParallelGroupScan& scan, GroupShards& shards,
                                   GroupByWorker& w, Fold& fold) {
  GroupByWorkerContext& context = w.local;
  context.private_table = std::make_unique<GroupTable>(*scan.keys, scan.specs);
  GroupTable& own = *context.private_table;
  TAVIX_TRY(own.reserve(workerGroupCapacity(w.range.end - w.range.start)));
  auto cut = std::make_unique<AggregateRecordCut>(scan.delimiter, scan.field_span, *scan.filter);
  const bool marks_lists = specsKeepLists(scan.specs);
  const bool batches_records = specsCountRowsOnly(scan.specs);
  if (batches_records) {
    context.batches.resize(shards.size());
    for (ShardBatch& batch : context.batches) {
      batch.hashes.reserve(kShardBatchRecords);
      batch.key_ends.reserve(kShardBatchRecords);
    }
  }
  TAVIX_TRY(forEachChunkLine(
      scan.input->handle, scan.delimiter, w,
      [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
        bool pass = false;
        TAVIX_TRY(cut->read(line, quote_free, pass));
        if (!pass) return Error::ok;
        const AggregateRecord record = cut->record();
        const FieldSlice key = own.composeKey(record.fields, record.count);
        const uint64_t hash = hashGroupKey(key);
        Group* group = nullptr;
        bool added = false;
        if (!context.switched_to_shards) {
          if (own.map().size() < kPrivateGroupLimit) {
            TAVIX_TRY(own.groupOfKey(key, hash, group, added));
            return fold(*group, record.fields, record.count, own);
          }
          context.switched_to_shards = true;
        }
        if (batches_records) {
          const size_t index = shards.indexOf(hash);
          ShardBatch& batch = context.batches[index];
          batch.hashes.push_back(hash);
          batch.keys.append(key);
          batch.key_ends.push_back(batch.keys.size());
          if (batch.hashes.size() < kShardBatchRecords) return Error::ok;
          return flushShardBatch(shards[index], batch, fold);
        }
        GroupShard& shard = shards.shardOf(hash);
        platform::MutexLock lock(shard.lock);
        TAVIX_TRY(shard.table.groupOfKey(key, hash, group, added));
        TAVIX_TRY(fold(*group, record.fields, record.count, shard.table));
        if (!marks_lists) return Error::ok;
        return markNewConcatItems(scan.specs, group->value, sharedListMark(w.index), false,
                                  shard.table.arena());
      }));
  for (size_t i = 0; i < context.batches.size(); ++i)
    if (!context.batches[i].hashes.empty()) TAVIX_TRY(flushShardBatch(shards[i], context.batches[i], fold));
  return Error::ok;
}

// Folds every worker's private groups into the shards, in range order;
// `merge(Group& into, const Group& from, GroupTable& into_table)` folds one
// group into another (into a fresh one for a group new to its shard).
template <typename Merge>
[[nodiscard]] Error mergePrivateGroups(std::span<GroupByWorker> workers, GroupShards& shards,
                                       Merge& merge) {
  for (GroupByWorker& w : workers) {
    if (w.local.private_table == nullptr) continue;
    const bool marks_lists = specsKeepLists(w.local.private_table->specs());
    Error error = Error::ok;
    w.local.private_table->map().forEachGroup([&](uint64_t hash, const Group& from) {
      if (error != Error::ok) return;
      GroupTable& table = shards.shardOf(hash).table;
      Group* into = nullptr;
      bool added = false;
      error = table.groupOfKey(from.key, hash, into, added);
      if (error == Error::ok) error = merge(*into, from, table);
      // A list the shard took out of order has marks; what a range kept
      // to itself goes ahead of what it sent to the shards.
      if (error == Error::ok && marks_lists)
        error = markNewConcatItems(table.specs(), into->value, privateListMark(w.index), true,
                                   table.arena());
    });
    TAVIX_TRY(error);
    w.local.private_table.reset();
  }
  return Error::ok;
}

}  // namespace parallel_group_detail

// Runs the grouping scan over the input on worker threads and leaves every
// group of the input in exactly one shard of `shards` (emptied first).
// `fold` and `merge` are as in scanGroupRange and mergePrivateGroups; they
// run on many threads at once, each call on its own group and table. Returns
// the first error in range order of the workers (the read's, the fold's,
// OutOfMemory), the start error of a worker thread, or the merge's error.
template <typename Fold, typename Merge>
[[nodiscard]] Error runParallelGroupScan(const ParallelGroupScan& scan, GroupShards& shards,
                                         Fold&& fold, Merge&& merge) {
  const AggregateInput& input = *scan.input;
  ChunkPlan plan;
  TAVIX_TRY(plan.init(input.csv.bytes(), input.csv.header.data_start, scan.thread_count_option,
                      scan.delimiter));
  return runChunkWorkers<GroupByWorkerContext>(
      plan,
      [&](GroupByWorker& w) -> Error {
        return parallel_group_detail::scanGroupRange(scan, shards, w, fold);
      },
      [&](std::span<GroupByWorker> workers) -> Error {
        TAVIX_TRY(firstWorkerError<GroupByWorker>(workers));
        return parallel_group_detail::mergePrivateGroups(workers, shards, merge);
      },
      [&]() { return shards.clear(); });
}

}  // namespace tavix
