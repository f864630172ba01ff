// The grouping scan on worker threads, for inputs of more than 10 MiB.
//
// Each worker reads its record-aligned range of the input by positioned
// reads through the executor's descriptor, cuts and tests every record as
// the one-thread scan does (AggregateRecordCut), and folds it into a group
// table of its own, without any lock, until that table holds
// kPrivateGroupLimit groups. From the next record on (whether its group is
// new or already private) the worker sends every record to the shared group
// map: `GroupShards`, a list of tables each guarded by its own lock, the
// shard of a key picked from its hash. The worker gathers the records it
// sends in one batch per shard (GroupRecordBatch: the key and, unless the
// groups count rows only, the fields) and takes a shard's lock once per
// batch, which loads all its records' slots and groups before folding them
// (the records wait on memory, a random slot and group each, far more than
// on the lock). A full batch whose shard is busy gathers more records
// rather than wait for the lock, up to kShardBatchMaxRecords.
// Each worker ends by listing its private groups shard by shard. After
// every worker has ended, the shards take the workers' private groups, each
// shard on a thread of its own and the workers' groups in range order; then
// each shard's groups are sorted on a thread of their own, and the sorted
// shards are merged into one list in key order, a range of keys per thread
// (orderShardGroups). The output reads that list.
//
// Order of a group's values: its shard entry takes what workers that had
// switched send while they run, batch by batch in the order they take the
// shard's lock (each worker's batches for a shard in its record order),
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
// that shard's lock, which it holds for one batch's find-or-add and fold;
// no lock is ever nested. The merge runs after every worker has been joined
// and takes no lock: each of its threads owns one shard at a time and only
// reads the workers' private groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "engine/expr/row_filter.h"
#include "exec/aggregate/aggregate_input.h"
#include "exec/aggregate/aggregate_records.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/group/group_keys.h"
#include "exec/group/group_map.h"
#include "exec/group/group_memory.h"
#include "exec/group/group_order.h"
#include "exec/group/group_scan.h"
#include "exec/parallel/chunk_workers.h"
#include "exec/parallel/parallel_tasks.h"
#include "exec/parallel/record_feed.h"
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
  GroupShard(const std::vector<GroupKeySpec>& keys, std::span<const AggregateSpec> specs,
             Allocator memory = pageAllocator())
      : table(keys, specs, memory) {}

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

  // Where the workers' private tables of one scan into these shards take
  // their memory: one pool for all, so the workers' tables grow without
  // each growth mapping pages of its own. Lives as long as the shards.
  Allocator memory() noexcept { return memory_.allocator(); }

 private:
  const std::vector<GroupKeySpec>& keys_;
  std::span<const AggregateSpec> specs_;
  // Both pools take slabs of huge pages. Every record a worker sends to the
  // shards looks up a random slot and group among all of theirs, and the
  // merge reads every private group of a worker in slot order, which is
  // random in memory: on small pages nearly each of those reads also
  // missed the address cache. A grouping with few groups touches a few
  // huge pages of each pool; one with many fills the pages it touches. Two
  // pools, so the shards' groups, which every record after a worker's
  // switch looks up, lie packed in pages of their own rather than among the
  // private tables' blocks.
  GroupMemoryPool memory_{pageAllocator()};  // the workers' tables; ahead of the shards
  GroupMemoryPool shard_memory_{pageAllocator()};  // the shards' tables
  std::vector<std::unique_ptr<GroupShard>> shards_;
};

// A private group with its key's hash, as the merge takes it.
struct HashedGroup {
  uint64_t hash;
  const Group* group;
};

// The per-worker record of the parallel grouping scan.
struct GroupByWorkerContext {
  std::unique_ptr<GroupTable> private_table;
  // One batch per shard, once the worker has switched to the shards.
  std::vector<GroupRecordBatch> batches;
  // Set at the first record that finds the private table full; never
  // cleared: from then on every record of the worker goes to the shards.
  bool switched_to_shards = false;
  // Filled by the worker once its range is read: the private groups listed
  // shard by shard, those of shard s at [shard_starts[s], shard_starts[s +
  // 1]), so that each shard can take its share of every worker on a thread
  // of its own.
  std::vector<HashedGroup> private_groups;
  std::vector<size_t> shard_starts;
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

// Lists the worker's private groups shard by shard into its context
// (private_groups, shard_starts). Runs on the worker's thread. May throw
// std::bad_alloc.
void listPrivateGroupsByShard(const GroupShards& shards, GroupByWorkerContext& context);

// Records a shard's batch may gather while its lock is busy elsewhere,
// before the worker waits for the lock.
inline constexpr size_t kShardBatchMaxRecords = 4 * GroupRecordBatch::kRecords;

// Folds a full batch into its shard under one taking of the shard's lock
// (GroupRecordBatch::foldInto with `fold` and `after`). While another
// worker holds the lock the batch waits and gathers more records, up to
// kShardBatchMaxRecords, rather than the worker sleeping on the lock;
// `now` folds it whatever the lock's state (the range's end).
template <typename Fold, typename After>
[[nodiscard]] Error flushShardBatch(GroupShard& shard, GroupRecordBatch& batch, Fold& fold,
                                    After& after, bool now) {
  if (now || batch.size() >= kShardBatchMaxRecords) {
    shard.lock.lock();
  } else if (!shard.lock.tryLock()) {
    return Error::ok;
  }
  struct Unlock {
    platform::Mutex& lock;
    ~Unlock() { lock.unlock(); }
  } unlock{shard.lock};
  return batch.foldInto(shard.table, fold, after);
}

// What a shard does after folding a record sent to it: a list item gets
// the mark of the sending range's sent items.
struct MarkSentItems {
  std::span<const AggregateSpec> specs;
  uint64_t range = 0;
  bool marks_lists = false;

  [[nodiscard]] Error operator()(Group& group, GroupTable& table) const {
    if (!marks_lists) return Error::ok;
    return markNewConcatItems(specs, group.value, sharedListMark(range), false, table.arena());
  }
};

// Nothing more to do after a record is folded.
struct NoMoreAfterFold {
  [[nodiscard]] Error operator()(Group&, GroupTable&) const noexcept { return Error::ok; }
};

// One worker's records, in its range's order, into its private table and
// the shards; `fold(Group&, const FieldSlice* fields, size_t count,
// GroupTable&)` takes a record into its group of the given table. `start`
// makes the private table, `add` takes each record (its fields as the
// grouping cuts them), `finish` folds what is gathered and lists the private
// groups. Belongs to the worker's thread.
template <typename Fold>
class GroupRangeFold {
 public:
  GroupRangeFold(const std::vector<GroupKeySpec>& keys, std::span<const AggregateSpec> specs,
                 GroupShards& shards, GroupByWorker& w, Fold& fold)
      : keys_(keys), specs_(specs), shards_(shards), w_(w), fold_(fold),
        keeps_fields_(specsReadFields(specs)),
        after_{specs, w.index, specsKeepLists(specs)},
        own_batch_(keeps_fields_) {}

  [[nodiscard]] Error start() {
    w_.local.private_table = std::make_unique<GroupTable>(keys_, specs_, shards_.memory());
    return w_.local.private_table->reserve(workerGroupCapacity(w_.range.end - w_.range.start));
  }

  [[nodiscard]] Error add(const FieldSlice* fields, size_t count) {
    GroupByWorkerContext& context = w_.local;
    GroupTable& own = *context.private_table;
    const FieldSlice key = own.composeKey(fields, count);
    if (!context.switched_to_shards) {
      if (Group* group = own.findShortGroup(key)) return fold_(*group, fields, count, own);
    }
    const uint64_t hash = hashGroupKey(key);
    if (!context.switched_to_shards) {
      // Once the private table has outgrown the cache, records are
      // folded into it in batches, in record order, while the batch
      // cannot take it to the limit: every record of the batch then
      // finds the table below the limit, as it would alone.
      const size_t held = own.map().size();
      if (held >= kBatchedGroupMinimum && held + own_batch_.size() < kPrivateGroupLimit) {
        own_batch_.add(key, hash, fields, count);
        return own_batch_.full() ? own_batch_.foldInto(own, fold_, NoMoreAfterFold{}) : Error::ok;
      }
      if (own_batch_.size() != 0) TAVIX_TRY(own_batch_.foldInto(own, fold_, NoMoreAfterFold{}));
      if (own.map().size() < kPrivateGroupLimit) {
        Group* group = nullptr;
        bool added = false;
        TAVIX_TRY(own.groupOfKey(key, hash, group, added));
        return fold_(*group, fields, count, own);
      }
      context.switched_to_shards = true;
      context.batches.reserve(shards_.size());
      for (size_t i = 0; i < shards_.size(); ++i)
        context.batches.emplace_back(keeps_fields_, kShardBatchMaxRecords);
    }
    const size_t index = shards_.indexOf(hash);
    GroupRecordBatch& batch = context.batches[index];
    batch.add(key, hash, fields, count);
    if (!batch.full()) return Error::ok;
    return flushShardBatch(shards_[index], batch, fold_, after_, false);
  }

  // Lets records tagged 1 up to `tags` find their group by their tag once
  // the tag's first record has found it: every key of the grouping is
  // made from columns that follow the tag. May throw std::bad_alloc.
  void enableTags(uint64_t tags) { tag_groups_.assign(tags + 1, nullptr); }

  // `add` for a record with a tag. While the worker keeps its records
  // privately and holds none gathered for a batch, a record whose tag has
  // a group folds into it, as `add` would fold it there at once.
  [[nodiscard]] Error addTagged(const FieldSlice* fields, size_t count, uint64_t tag) {
    GroupByWorkerContext& context = w_.local;
    if (tag >= tag_groups_.size() || context.switched_to_shards || own_batch_.size() != 0)
      return add(fields, count);
    GroupTable& own = *context.private_table;
    const size_t held = own.map().size();
    if (held >= kPrivateGroupLimit) return add(fields, count);
    Group*& known = tag_groups_[tag];
    if (known != nullptr) return fold_(*known, fields, count, own);
    // The first record of the tag takes the path of `add` when that path
    // folds it into its group at once.
    const FieldSlice key = own.composeKey(fields, count);
    Group* group = own.findShortGroup(key);
    if (group == nullptr) {
      if (held >= kBatchedGroupMinimum) return add(fields, count);
      bool added = false;
      TAVIX_TRY(own.groupOfKey(key, hashGroupKey(key), group, added));
    }
    known = group;
    return fold_(*group, fields, count, own);
  }

  [[nodiscard]] Error finish() {
    GroupByWorkerContext& context = w_.local;
    if (own_batch_.size() != 0)
      TAVIX_TRY(own_batch_.foldInto(*context.private_table, fold_, NoMoreAfterFold{}));
    for (size_t i = 0; i < context.batches.size(); ++i)
      if (context.batches[i].size() != 0)
        TAVIX_TRY(flushShardBatch(shards_[i], context.batches[i], fold_, after_, true));
    listPrivateGroupsByShard(shards_, context);
    return Error::ok;
  }

 private:
  const std::vector<GroupKeySpec>& keys_;
  std::span<const AggregateSpec> specs_;
  GroupShards& shards_;
  GroupByWorker& w_;
  Fold& fold_;
  bool keeps_fields_;
  const MarkSentItems after_;
  GroupRecordBatch own_batch_;
  std::vector<Group*> tag_groups_;  // by tag: its group in the private table, once found
};

// Reads one worker's range into its private table and the shards
// (GroupRangeFold).
template <typename Fold>
[[nodiscard]] Error scanGroupRange(const ParallelGroupScan& scan, GroupShards& shards,
                                   GroupByWorker& w, Fold& fold) {
  GroupRangeFold<Fold> range(*scan.keys, scan.specs, shards, w, fold);
  TAVIX_TRY(range.start());
  auto cut = std::make_unique<AggregateRecordCut>(scan.delimiter, scan.field_span, *scan.filter);
  TAVIX_TRY(forEachChunkLine(
      scan.input->handle, scan.delimiter, w,
      [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
        bool pass = false;
        TAVIX_TRY(cut->read(line, quote_free, pass));
        if (!pass) return Error::ok;
        const AggregateRecord record = cut->record();
        return range.add(record.fields, record.count);
      }));
  return range.finish();
}

// How many private groups ahead the merge starts loading a group's private
// block and shard slot, and the shard's group.
inline constexpr size_t kMergeSlotLead = 16;
inline constexpr size_t kMergeGroupLead = 8;

// Folds every worker's private groups into the shards, each shard on one of
// up to `threads` threads, taking the workers' groups in range order;
// `merge(Group& into, const Group& from, GroupTable& into_table)` folds one
// group into another (into a fresh one for a group new to its shard) and
// runs on several threads at once, each call on its own shard's table.
// Returns the first error in shard order.
template <typename Merge>
[[nodiscard]] Error mergePrivateGroups(std::span<GroupByWorker> workers, GroupShards& shards,
                                       size_t threads, Merge& merge) {
  TAVIX_TRY(runParallelTasks(threads, shards.size(), [&](size_t s) -> Error {
    GroupTable& table = shards[s].table;
    const bool marks_lists = specsKeepLists(table.specs());
    for (const GroupByWorker& w : workers) {
      const GroupByWorkerContext& context = w.local;
      if (context.private_table == nullptr) continue;
      const size_t first = context.shard_starts[s];
      const size_t last = context.shard_starts[s + 1];
      const HashedGroup* groups = context.private_groups.data();
      for (size_t j = first; j < last; ++j) {
        // Each group waits on its private block, its slot in the shard and
        // the shard's group: start loading the private block and the slot a
        // few groups ahead, and the shard's group (found through the slot
        // loaded by then) a little later.
        if (j + kMergeSlotLead < last) {
          __builtin_prefetch(groups[j + kMergeSlotLead].group);
          table.prefetchSlot(groups[j + kMergeSlotLead].hash);
        }
        if (j + kMergeGroupLead < last) (void)table.prefetchGroup(groups[j + kMergeGroupLead].hash);
        const HashedGroup& from = groups[j];
        Group* into = nullptr;
        bool added = false;
        TAVIX_TRY(table.groupOfKey(from.group->key, from.hash, into, added));
        TAVIX_TRY(merge(*into, *from.group, table));
        // A list the shard took out of order has marks; what a range kept
        // to itself goes ahead of what it sent to the shards.
        if (marks_lists)
          TAVIX_TRY(markNewConcatItems(table.specs(), into->value, privateListMark(w.index), true,
                                       table.arena()));
      }
    }
    return Error::ok;
  }));
  for (GroupByWorker& w : workers) w.local.private_table.reset();
  return Error::ok;
}

// Runs `scan_range(GroupByWorker&)` over the ranges of `plan`, then merges
// the workers' private groups into the shards (emptied before each pass);
// the first worker error in range order comes before the merge.
template <typename RangeScan, typename Merge>
[[nodiscard]] Error runGroupWorkers(ChunkPlan& plan, GroupShards& shards, RangeScan&& scan_range,
                                    Merge& merge) {
  return runChunkWorkers<GroupByWorkerContext>(
      plan, scan_range,
      [&](std::span<GroupByWorker> workers) -> Error {
        TAVIX_TRY(firstWorkerError<GroupByWorker>(workers));
        return mergePrivateGroups(workers, shards, workers.size(), merge);
      },
      [&]() { return shards.clear(); });
}

}  // namespace parallel_group_detail

// Lists every group of the shards in key order (group_order.h) into `out`,
// on up to `threads` threads: each shard's groups sorted on their own, then
// the sorted shards merged, a range of keys per thread. Returns OutOfMemory.
[[nodiscard]] Error orderShardGroups(GroupShards& shards, size_t threads,
                                     std::vector<GroupSortEntry<Group>>& out);

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
  return parallel_group_detail::runGroupWorkers(
      plan, shards,
      [&](GroupByWorker& w) -> Error {
        return parallel_group_detail::scanGroupRange(scan, shards, w, fold);
      },
      merge);
}

// runParallelGroupScan over the ranges `plan` of a feed's records: each
// worker takes the records `feed` hands it for its range, finding groups by
// tag (GroupRangeFold::enableTags) when `tags` is not 0.
template <typename Fold, typename Merge>
[[nodiscard]] Error runFedParallelGroupScan(const RecordFeed& feed, uint64_t tags, ChunkPlan& plan,
                                            const std::vector<GroupKeySpec>& keys,
                                            std::span<const AggregateSpec> specs,
                                            GroupShards& shards, Fold&& fold, Merge&& merge) {
  return parallel_group_detail::runGroupWorkers(
      plan, shards,
      [&](GroupByWorker& w) -> Error {
        struct Sink final : RecordSink {
          parallel_group_detail::GroupRangeFold<std::remove_reference_t<Fold>>& range;
          explicit Sink(parallel_group_detail::GroupRangeFold<std::remove_reference_t<Fold>>& r)
              : range(r) {}
          Error take(const FieldSlice* fields, size_t count) override {
            return range.add(fields, count);
          }
          Error takeTagged(const FieldSlice* fields, size_t count, uint64_t tag) override {
            return range.addTagged(fields, count, tag);
          }
        };
        parallel_group_detail::GroupRangeFold<std::remove_reference_t<Fold>> range(keys, specs,
                                                                                   shards, w, fold);
        TAVIX_TRY(range.start());
        if (tags != 0) range.enableTags(tags);
        Sink sink(range);
        TAVIX_TRY(feed.feedRange(w, sink));
        return range.finish();
      },
      merge);
}

}  // namespace tavix
