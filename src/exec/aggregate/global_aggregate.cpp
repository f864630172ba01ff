// runGlobalAggregateQuery: the input mapped, the select list compiled, one
// accumulator block filled from every record that passes WHERE (or, for a
// lone count(*), the records counted on worker threads), the one row
// rendered, tested against HAVING and written subject to LIMIT and OFFSET.
#include "exec/aggregate/global_aggregate.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

#include "common/allocator.h"
#include "engine/csv/record_count.h"
#include "engine/expr/named_condition.h"
#include "engine/expr/row_filter.h"
#include "engine/expr/scalar_eval.h"
#include "engine/output/result_writer.h"
#include "exec/aggregate/accumulators.h"
#include "exec/aggregate/aggregate_input.h"
#include "exec/aggregate/aggregate_records.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/aggregate/having.h"
#include "exec/parallel/chunk_workers.h"

namespace tavix {
namespace {

// A lone count(*) is counted by worker threads over ranges of at least this
// many bytes, so small bodies stay on the calling thread.
constexpr uint64_t kCountBytesPerWorker = uint64_t{1} << 20;

// Whether the statement is one count(*) (possibly inside ROUND or a CASE)
// with nothing that filters rows.
bool isLoneCountStar(const ParsedQuery& query, std::span<const AggregateSpec> specs) noexcept {
  return !query.has_where && !query.has_having && specs.size() == 1 &&
         specs[0].kind == AggregateKind::count && !specs[0].has_column && !specs[0].has_case;
}

// The records of the body [data_start, size) of the input, counted as the
// record loop reads them, on up to the option's number of threads.
Error countBodyRecords(const AggregateInput& input, const QueryOptions& options,
                       uint64_t& count) {
  const char* data = input.csv.view.data();
  const uint64_t start = input.csv.header.data_start;
  const uint64_t body = input.csv.size - start;
  const uint64_t workers =
      std::min<uint64_t>(resolveWorkerCount(options.thread_count, body),
                         std::max<uint64_t>(body / kCountBytesPerWorker, 1));
  if (workers <= 1) {
    count = countRecordsInRange(data, start, input.csv.size, options.delimiter).count;
    return Error::ok;
  }
  ChunkPlan plan;
  TAVIX_TRY(plan.init(input.csv.bytes(), start, workers, options.delimiter));
  return runChunkWorkers<uint64_t>(
      plan,
      [&](ChunkWorker<uint64_t>& w) -> Error {
        const RangeRecordCount r =
            countRecordsInRange(data, w.range.start, w.range.end, options.delimiter);
        w.local = r.count;
        w.status.ran_over = r.ran_over;
        return Error::ok;
      },
      [&](std::span<ChunkWorker<uint64_t>> done) -> Error {
        TAVIX_TRY(firstWorkerError<ChunkWorker<uint64_t>>(done));
        count = 0;
        for (const ChunkWorker<uint64_t>& w : done) count += w.local;
        return Error::ok;
      });
}

// The value of one output column of the row.
FieldSlice outputValue(const AggregateOutputItem& item, std::span<const FieldSlice> rendered,
                       const Allocator& allocator) noexcept {
  switch (item.kind) {
    case OutputItemKind::aggregate_value: return rendered[item.index];
    case OutputItemKind::aggregate_expression:
      return evalScalarExpr(item.expr, &rendered[item.index], 1, allocator);
    case OutputItemKind::source_column:
    case OutputItemKind::group_key:
    case OutputItemKind::key_expression: return {};
  }
  return {};
}

}  // namespace

Error runGlobalAggregateQuery(const ParsedQuery& query, const ResultFile& result,
                              const QueryOptions& options, PreopenedSource source) {
  AggregateInput input;
  TAVIX_TRY(openAggregateInput(query, source, options, input));
  ResultWriter writer;
  initResultWriter(writer, result.handle, options.output_format, options.delimiter);

  AggregateSelectList list;
  TAVIX_TRY(compileAggregateSelectList(query.select_items, input.csv.map,
                                       std::span(input.csv.header.names.data(), input.csv.header.count),
                                       list));
  std::vector<HiddenAggregate> hidden;
  TAVIX_TRY(compileHaving(query, input.csv.map, list, hidden));
  const std::vector<FieldSlice> labels = list.labelViews();  // the writer keeps views
  TAVIX_TRY(setResultColumns(writer, labels, options.omit_header));
  RowFilter filter;
  TAVIX_TRY(initAggregateFilter(query, input.csv.map, options.strict, filter));

  ArenaAllocator arena;
  SharedAccumulatorArrays shared;
  TAVIX_TRY(allocSharedAccumulatorArrays(arena, list.specs, shared));
  GroupAccumulators block;
  TAVIX_TRY(newGroupAccumulators(arena, {}, list.specs.size(), shared, block));

  if (isLoneCountStar(query, list.specs)) {
    TAVIX_TRY(countBodyRecords(input, options, block.rows));
  } else {
    const size_t span = aggregateFieldSpan(query, input.csv.map, list.specs);
    bool ran_over = false;
    TAVIX_TRY(forEachAggregateRecord(
        input.csv.view.data(), input.csv.header.data_start, input.csv.size, options.delimiter, span, filter,
        ran_over, [&](const AggregateRecord& record) {
          return accumulateGroupRow(list.specs, block, record.fields, record.count, arena);
        }));
  }

  ArenaAllocator output_arena;
  const Allocator out = output_arena.allocator();
  std::vector<FieldSlice> rendered(list.specs.size());
  for (size_t i = 0; i < list.specs.size(); ++i)
    TAVIX_TRY(renderAggregateValue(out, list.specs[i], block, i, std::nullopt, rendered[i]));
  std::vector<FieldSlice> row(list.items.size());
  for (size_t i = 0; i < list.items.size(); ++i)
    row[i] = outputValue(list.items[i], rendered, out);

  bool keep = query.limit != 0 && query.offset == 0;
  if (keep && query.has_having) {
    NamedValueMap names;
    TAVIX_TRY(bindHavingValues(list.labels, row, query.select_items, rendered, hidden,
                               output_arena, names));
    keep = evalNamedCondition(query.having, names);
  }
  if (keep) TAVIX_TRY(writeResultRow(writer, row));
  TAVIX_TRY(finishResultWriter(writer));
  return flushResultWriter(writer);
}

}  // namespace tavix
