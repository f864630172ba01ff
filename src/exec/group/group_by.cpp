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

// Reads every record of the input that passes `filter` into `table`.
Error scanRecords(const ParsedQuery& query, const QueryOptions& options,
                  const AggregateInput& input, const std::vector<GroupKeySpec>& keys,
                  const RowFilter& filter, GroupTable& table) {
  const size_t span = groupFieldSpan(query, input.csv.map, keys, table.specs());
  const std::span<const AggregateSpec> specs = table.specs();
  // Once the table has outgrown the cache, records are folded in batches
  // (in record order, so the answer is the same).
  GroupRecordBatch batch(specsReadFields(specs));
  bool batched = false;
  auto fold = [specs](Group& group, const FieldSlice* fields, size_t count, GroupTable& into) {
    return accumulateGroupRow(specs, group.value, fields, count, into.arena());
  };
  const auto no_more = [](Group&, GroupTable&) { return Error::ok; };
  bool ran_over = false;
  TAVIX_TRY(forEachAggregateRecord(
      input.csv.view.data(), input.csv.header.data_start, input.csv.size, options.delimiter, span,
      filter, ran_over, [&](const AggregateRecord& record) -> Error {
        if (!batched) {
          if (table.map().size() < kBatchedGroupMinimum)
            return table.addRecord(record.fields, record.count);
          batched = true;
        }
        const FieldSlice key = table.composeKey(record.fields, record.count);
        batch.add(key, hashGroupKey(key), record.fields, record.count);
        return batch.full() ? batch.foldInto(table, fold, no_more) : Error::ok;
      }));
  return batch.foldInto(table, fold, no_more);
}

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
  return runParallelGroupScan(
      scan, shards,
      [specs](Group& group, const FieldSlice* fields, size_t count, GroupTable& table) {
        return accumulateGroupRow(specs, group.value, fields, count, table.arena());
      },
      [specs](Group& into, const Group& from, GroupTable& table) {
        return mergeGroupAccumulators(into.value, from.value, specs, table.arena());
      });
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

}  // namespace

Error runGroupByQuery(const ParsedQuery& query, const ResultFile& result,
                      const QueryOptions& options, PreopenedSource source) {
  AggregateInput input;
  TAVIX_TRY(openAggregateInput(query, source, options, input));
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
  if (groupScanRunsInParallel(input.csv.size, options.thread_count, workers)) {
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
  GroupedRows rows(query, std::move(sort_keys));
  GroupKeyRow key_row(keys, input.csv.header.count);
  ArenaAllocator group_arena;
  NamedValueMap having_values;
  std::vector<FieldSlice> rendered(list.specs.size());
  std::vector<FieldSlice> row(list.items.size());
  for (size_t e = 0; e < entries.size(); ++e) {
    if (rows.full()) break;
    // Groups lie at random places of their arenas: start loading a few
    // groups ahead (the block and the line after it, where its key parts
    // and counters begin) so that rendering them does not wait on memory.
    constexpr size_t kRenderAhead = 8;
    if (e + kRenderAhead < entries.size()) {
      const char* ahead = reinterpret_cast<const char*>(entries[e + kRenderAhead].group);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
    }
    const auto& entry = entries[e];
    group_arena.reset();
    TAVIX_TRY(renderGroupRow(list, *entry.group, key_row, group_arena.allocator(), rendered, row));
    if (query.has_having) {
      TAVIX_TRY(bindHavingValues(list.labels, row, query.select_items, rendered, hidden,
                                 group_arena, having_values));
      if (!evalNamedCondition(query.having, having_values)) continue;
    }
    TAVIX_TRY(rows.offer(writer, row,
                         std::span<const FieldSlice>(entry.group->value.key_parts, keys.size())));
  }
  return rows.finish(writer);
}

}  // namespace tavix
