// runGroupByQuery: set-up, keys and select list, the header row, the scan of
// every record into the group table, and the grouped output in key order.
#include "exec/group/group_by.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/expr/named_condition.h"
#include "engine/expr/row_filter.h"
#include "engine/expr/scalar_eval.h"
#include "engine/output/result_writer.h"
#include "exec/aggregate/accumulators.h"
#include "exec/aggregate/aggregate_input.h"
#include "exec/aggregate/aggregate_records.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/aggregate/having.h"
#include "exec/group/group_key_row.h"
#include "exec/group/distinct_keys.h"
#include "exec/group/group_keys.h"
#include "exec/group/group_order.h"
#include "exec/group/group_scan.h"
#include "exec/group/grouped_rows.h"
#include "exec/group/grouped_select.h"
#include "exec/group/parallel_group.h"
#include "exec/parallel/parallel_tasks.h"
#include "engine/output/text_buffer.h"

namespace tavix {

namespace {

// The number of leading fields a record is cut to: what the aggregates and
// the WHERE read (aggregateFieldSpan), and every key's column.
size_t groupFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map,
                      const std::vector<GroupKeySpec>& keys, std::span<const AggregateSpec> specs) {
  size_t span = aggregateFieldSpan(query, map, specs);
  for (const GroupKeySpec& key : keys)
    span = std::max<size_t>(span, std::min<uint64_t>(key.column + 1, kMaxRecordFields));
  return span;
}

// Folds one record into its group of `table` (an object, so the workers'
// loops inline it).
struct FoldIntoGroup {
  Error operator()(Group& group, const FieldSlice* fields, size_t count, GroupTable& table) const {
    return table.accumulate(group, fields, count);
  }
};

// Folds records one after another into one table on this thread. Once the
// table has outgrown the cache, records are folded in batches (in record
// order, so the answer is the same).
class OneTableFold final : public RecordSink {
 public:
  explicit OneTableFold(GroupTable& table)
      : table_(table), batch_(specsReadFields(table.specs())) {}

  Error take(const FieldSlice* fields, size_t count) override {
    if (!batched_) {
      if (table_.map().size() < kBatchedGroupMinimum) return table_.addRecord(fields, count);
      batched_ = true;
    }
    const FieldSlice key = table_.composeKey(fields, count);
    batch_.add(key, hashGroupKey(key), fields, count);
    return batch_.full() ? finish() : Error::ok;
  }

  // Lets records tagged 1 up to `tags` find their group by their tag (see
  // GroupRangeFold::enableTags). May throw std::bad_alloc.
  void enableTags(uint64_t tags) { tag_groups_.assign(tags + 1, nullptr); }

  // While records are folded one at a time, a record whose tag has a group
  // folds into it, as `take` would.
  Error takeTagged(const FieldSlice* fields, size_t count, uint64_t tag) override {
    if (batched_ || tag >= tag_groups_.size() || table_.map().size() >= kBatchedGroupMinimum)
      return take(fields, count);
    Group*& known = tag_groups_[tag];
    if (known == nullptr) TAVIX_TRY(table_.groupOf(fields, count, known));
    return table_.accumulate(*known, fields, count);
  }

  // Folds the records still gathered.
  [[nodiscard]] Error finish() {
    FoldIntoGroup fold;
    return batch_.foldInto(table_, fold, parallel_group_detail::NoMoreAfterFold{});
  }

 private:
  GroupTable& table_;
  GroupRecordBatch batch_;
  bool batched_ = false;
  std::vector<Group*> tag_groups_;  // by tag: its group, once found
};

// Tags up to which the folds keep a group per tag.
constexpr uint64_t kMaxGroupTags = 4096;

// The tags by which the folds may find the groups of `feed`'s records: its
// tag count when every key is made from columns that follow the tag, else 0.
uint64_t groupTagCount(const RecordFeed& feed, const std::vector<GroupKeySpec>& keys) noexcept {
  const uint64_t tags = feed.tagCount();
  if (tags == 0 || tags > kMaxGroupTags) return 0;
  for (const GroupKeySpec& key : keys)
    if (!feed.columnFollowsTag(key.column)) return 0;
  return tags;
}

// Reads every record of the input that passes `filter` into `table`.
Error scanRecords(const ParsedQuery& query, const QueryOptions& options,
                  const AggregateInput& input, const std::vector<GroupKeySpec>& keys,
                  const RowFilter& filter, GroupTable& table) {
  const size_t span = groupFieldSpan(query, input.csv.map, keys, table.specs());
  OneTableFold fold(table);
  bool ran_over = false;
  TAVIX_TRY(forEachAggregateRecord(
      input.csv.view.data(), input.csv.header.data_start, input.csv.size, options.delimiter, span,
      filter, ran_over,
      [&](const AggregateRecord& record) { return fold.take(record.fields, record.count); }));
  return fold.finish();
}

// Folds a worker's private group into a shard's.
struct MergeGroups {
  std::span<const AggregateSpec> specs;
  Error operator()(Group& into, const Group& from, GroupTable& table) const {
    return mergeGroupAccumulators(into.value, from.value, specs, table.arena());
  }
};

// Reads every record of the input that passes `filter` into `shards` on
// worker threads.
Error scanRecordsInParallel(const ParsedQuery& query, const QueryOptions& options,
                            const AggregateInput& input, const std::vector<GroupKeySpec>& keys,
                            std::span<const AggregateSpec> specs, const RowFilter& filter,
                            GroupShards& shards) {
  const ParallelGroupScan scan{&input,
                               &keys,
                               specs,
                               &filter,
                               groupFieldSpan(query, input.csv.map, keys, specs),
                               options.delimiter,
                               options.thread_count};
  return runParallelGroupScan(scan, shards, FoldIntoGroup{}, MergeGroups{specs});
}

// Reads the records of `feed` into `table` on this thread or, when the feed
// cuts them into ranges (`workers` then set to their count), into `shards`
// (made here) on worker threads.
Error scanFedRecords(RecordFeed& feed, const std::vector<GroupKeySpec>& keys,
                     std::span<const AggregateSpec> specs, GroupTable& table,
                     std::unique_ptr<GroupShards>& shards, size_t& workers) {
  ChunkPlan plan;
  bool ranged = false;
  TAVIX_TRY(feed.planRanges(plan, ranged));
  const uint64_t tags = groupTagCount(feed, keys);
  if (!ranged) {
    OneTableFold fold(table);
    if (tags != 0) fold.enableTags(tags);
    TAVIX_TRY(feed.feedAll(fold));
    return fold.finish();
  }
  workers = plan.ranges().size();
  shards = std::make_unique<GroupShards>(keys, specs, workers);
  return runFedParallelGroupScan(feed, tags, plan, keys, specs, *shards, FoldIntoGroup{},
                                 MergeGroups{specs});
}

// Renders one group: its aggregates into `rendered` (one text per aggregate spec),
// then its output row into `row`. Texts come from `allocator`.
Error renderGroupRow(const AggregateSelectList& list, Group& group, GroupKeyRow& key_row,
                     const Allocator& allocator, std::vector<FieldSlice>& rendered,
                     std::vector<FieldSlice>& row) {
  for (size_t i = 0; i < list.specs.size(); ++i)
    TAVIX_TRY(renderAggregateValue(allocator, list.specs[i], group.value, i, std::nullopt,
                                   rendered[i]));
  key_row.fill(group.value.key_parts);
  for (size_t i = 0; i < list.items.size(); ++i) {
    const AggregateOutputItem& item = list.items[i];
    switch (item.kind) {
      case OutputItemKind::source_column: row[i] = key_row.at(item.index); break;
      case OutputItemKind::group_key: row[i] = group.value.key_parts[item.index]; break;
      case OutputItemKind::key_expression:
        row[i] = evalScalarExpr(item.expr, key_row.fields(), key_row.size(), allocator);
        break;
      case OutputItemKind::aggregate_value: row[i] = rendered[item.index]; break;
      case OutputItemKind::aggregate_expression:
        row[i] = evalScalarExpr(item.expr, &rendered[item.index], 1, allocator);
        break;
    }
  }
  return Error::ok;
}

// Renders groups one after another with one key row, one arena reset per
// group and the rendered aggregates of the current group. Belongs to one
// thread; several renderers may render disjoint groups at once.
class GroupRenderer {
 public:
  GroupRenderer(const AggregateSelectList& list, const std::vector<GroupKeySpec>& keys,
                size_t column_count)
      : list_(list), key_row_(keys, column_count), rendered_(list.specs.size()),
        row_(list.items.size()) {}

  // Renders the groups of `entries` in order, each into its output row, and
  // calls emit(const Group&, std::span<const FieldSlice> row) -> Error for
  // it; stops before a group once stop() is true. The row's texts live until
  // the next group is rendered. Returns the first error.
  template <typename Stop, typename Emit>
  [[nodiscard]] Error forEach(std::span<const GroupSortEntry<Group>> entries, Stop&& stop,
                              Emit&& emit) {
    for (size_t e = 0; e < entries.size(); ++e) {
      if (stop()) break;
      // Groups lie at random places of their arenas: start loading the
      // group some entries ahead, and what it points to (its key parts and
      // counters) once it has come in, so that rendering does not wait on
      // memory.
      constexpr size_t kGroupAhead = 16;
      constexpr size_t kPartsAhead = 8;
      if (e + kGroupAhead < entries.size()) {
        const char* ahead = reinterpret_cast<const char*>(entries[e + kGroupAhead].group);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
      }
      if (e + kPartsAhead < entries.size()) {
        const GroupAccumulators& ahead = entries[e + kPartsAhead].group->value;
        __builtin_prefetch(ahead.key_parts);
        __builtin_prefetch(ahead.count);
      }
      Group& group = *entries[e].group;
      arena_.reset();
      TAVIX_TRY(renderGroupRow(list_, group, key_row_, arena_.allocator(), rendered_, row_));
      TAVIX_TRY(emit(group, std::span<const FieldSlice>(row_)));
    }
    return Error::ok;
  }

  // The current group's aggregates (one text per aggregate spec) and the
  // arena its texts come from.
  std::vector<FieldSlice>& rendered() noexcept { return rendered_; }
  ArenaAllocator& arena() noexcept { return arena_; }

 private:
  const AggregateSelectList& list_;
  GroupKeyRow key_row_;
  ArenaAllocator arena_;
  std::vector<FieldSlice> rendered_;
  std::vector<FieldSlice> row_;
};

// Groups from which rows that all go out in group order are rendered on
// several threads: below it one thread renders them sooner than threads
// start.
constexpr size_t kParallelRenderMinGroups = 16'384;
// Ranges of groups per thread, so that threads that start late or render
// longer rows do not hold the others back.
constexpr size_t kRenderRangesPerThread = 4;

// Whether every group's row goes out, in group order, exactly as rendered:
// no HAVING, DISTINCT, ORDER BY, LIMIT or OFFSET, and the comma delimiter,
// under which rows rendered ahead (appendRowToText) are quoted as the writer
// quotes its rows.
bool writesEveryGroupInOrder(const ParsedQuery& query, bool no_sort_keys, char delimiter) noexcept {
  return !query.has_having && !query.distinct && no_sort_keys && query.limit < 0 &&
         query.offset == 0 && delimiter == ',';
}

// Renders the rows of the ordered groups on up to `threads` threads, a
// range of groups each into a text of its own, and writes the texts in
// order: the rows a renderer on one thread writes. Each group is rendered
// by one thread alone (rendering puts its lists in order in place). Returns
// OutOfMemory, a rendering error or the writer's error.
Error writeGroupsInParallel(const AggregateSelectList& list, const std::vector<GroupKeySpec>& keys,
                            size_t column_count, std::span<const GroupSortEntry<Group>> entries,
                            size_t threads, ResultWriter& writer) {
  const RowForm form = rowFormOf(writer);
  const size_t ranges = std::min(entries.size(), threads * kRenderRangesPerThread);
  std::vector<TextBuffer> texts(ranges);
  TAVIX_TRY(runParallelTasks(threads, ranges, [&](size_t r) -> Error {
    const size_t begin = r * entries.size() / ranges;
    const size_t end = (r + 1) * entries.size() / ranges;
    GroupRenderer renderer(list, keys, column_count);
    return renderer.forEach(
        entries.subspan(begin, end - begin), []() { return false; },
        [&](const Group&, std::span<const FieldSlice> row) {
          return appendRowToText(texts[r], form, row);
        });
  }));
  for (const TextBuffer& text : texts) TAVIX_TRY(emitRenderedText(writer, text.view()));
  return Error::ok;
}

}  // namespace

namespace {

Error runGroupBy(const ParsedQuery& query, const ResultFile& result, const QueryOptions& options,
                 AggregateInput& input) {
  ResultWriter writer;
  initResultWriter(writer, result.handle, options.output_format, options.delimiter);

  std::vector<GroupKeySpec> keys;
  TAVIX_TRY(compileGroupKeys(query, input.csv.map, keys));
  AggregateSelectList list;
  TAVIX_TRY(compileGroupedSelectList(query, input.csv.map, input.csv.header, keys, list));
  const std::vector<FieldSlice> labels = list.labelViews();  // the writer keeps views
  TAVIX_TRY(setResultColumns(writer, labels, options.omit_header));
  std::vector<HiddenAggregate> hidden;
  TAVIX_TRY(compileHaving(query, input.csv.map, list, hidden));
  RowFilter filter;
  TAVIX_TRY(initAggregateFilter(query, input.csv.map, options.strict, filter));

  GroupTable table(keys, list.specs);
  TAVIX_TRY(table.reserve(initialGroupCapacity(input.csv.size)));
  std::unique_ptr<GroupShards> shards;
  size_t workers = 1;
  if (input.feed != nullptr) {
    TAVIX_TRY(scanFedRecords(*input.feed, keys, list.specs, table, shards, workers));
  } else if (groupScanRunsInParallel(input.csv.size, options.thread_count, workers)) {
    if (answersWithDistinctKeys(query, list, keys)) {
      const ParallelGroupScan scan{&input,
                                   &keys,
                                   {},
                                   &filter,
                                   groupFieldSpan(query, input.csv.map, keys, {}),
                                   options.delimiter,
                                   options.thread_count};
      std::unique_ptr<ShardedStringSet> distinct_keys;
      TAVIX_TRY(scanDistinctKeys(scan, distinct_keys));
      return writeDistinctKeys(query, *distinct_keys, keys.size(), writer);
    }
    shards = std::make_unique<GroupShards>(keys, list.specs, workers);
    TAVIX_TRY(scanRecordsInParallel(query, options, input, keys, list.specs, filter, *shards));
  } else {
    TAVIX_TRY(scanRecords(query, options, input, keys, filter, table));
  }

  // Every group lives in the one table or, after the parallel scan, in
  // exactly one shard.
  std::vector<GroupSortEntry<Group>> entries;
  if (shards != nullptr) {
    TAVIX_TRY(orderShardGroups(*shards, workers, entries));
  } else {
    entries.reserve(table.map().size());
    collectGroupEntries(table.map(), entries);
    sortGroupEntries(entries);
  }

  std::vector<SortKey> sort_keys;
  TAVIX_TRY(resolveGroupSortKeys(query, labels, sort_keys));
  const bool sort_keys_empty = sort_keys.empty();
  GroupedRows rows(query, std::move(sort_keys));
  const std::span<const GroupSortEntry<Group>> ordered(entries);
  if (shards != nullptr && writesEveryGroupInOrder(query, sort_keys_empty, options.delimiter) &&
      entries.size() >= kParallelRenderMinGroups) {
    TAVIX_TRY(writeGroupsInParallel(list, keys, input.csv.header.count, ordered, workers, writer));
    return rows.finish(writer);
  }
  GroupRenderer renderer(list, keys, input.csv.header.count);
  NamedValueMap having_values;
  TAVIX_TRY(renderer.forEach(
      ordered, [&]() { return rows.full(); },
      [&](const Group& group, std::span<const FieldSlice> row) -> Error {
        if (query.has_having) {
          TAVIX_TRY(bindHavingValues(list.labels, row, query.select_items, renderer.rendered(),
                                     hidden, renderer.arena(), having_values));
          if (!evalNamedCondition(query.having, having_values)) return Error::ok;
        }
        return rows.offer(writer, row,
                          std::span<const FieldSlice>(group.value.key_parts, keys.size()));
      }));
  return rows.finish(writer);
}

}  // namespace

Error runGroupByQuery(const ParsedQuery& query, const ResultFile& result,
                      const QueryOptions& options, PreopenedSource source) {
  AggregateInput input;
  TAVIX_TRY(openAggregateInput(query, source, options, input));
  return runGroupBy(query, result, options, input);
}

Error runGroupByQuery(const ParsedQuery& query, const ResultFile& result,
                      const QueryOptions& options, RecordFeed& feed) {
  AggregateInput input;
  TAVIX_TRY(openFedInput(feed, options, input));
  return runGroupBy(query, result, options, input);
}

}  // namespace tavix
