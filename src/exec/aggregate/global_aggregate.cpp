// runGlobalAggregateQuery: the input mapped, the select list compiled, one
// accumulator block filled from every record that passes WHERE (on this
// thread, or for an input of more than 10 MiB by worker threads whose blocks
// are merged in range order, read by positioned reads like the workers' when
// only one thread may run; for a lone count(*) the records are counted on
// worker threads), the one row rendered, tested against HAVING and written
// subject to LIMIT and OFFSET.
#include "exec/aggregate/global_aggregate.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
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
#include "exec/parallel/sharded_string_set.h"
#include "platform/platform.h"

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
// record loop reads them, on up to the option's number of threads. The body
// is read by positioned reads, not through the mapping, so counting a large
// file keeps no page of it resident.
Error countBodyRecords(const AggregateInput& input, const QueryOptions& options,
                       uint64_t& count) {
  const uint64_t start = input.csv.header.data_start;
  const uint64_t body = input.csv.size - start;
  const uint64_t workers =
      std::min<uint64_t>(resolveWorkerCount(options.thread_count, body),
                         std::max<uint64_t>(body / kCountBytesPerWorker, 1));
  if (workers <= 1) {
    RangeRecordCount r;
    TAVIX_TRY(countFileRecordsInRange(input.handle, ScanRange{start, input.csv.size}, options.delimiter, r));
    count = r.count;
    return Error::ok;
  }
  ChunkPlan plan;
  TAVIX_TRY(plan.initShared(input.csv.bytes(), start, workers, options.delimiter, input.handle));
  return runChunkWorkers<uint64_t>(
      plan,
      [&](ChunkWorker<uint64_t>& w) -> Error {
        RangeRecordCount r;
        TAVIX_TRY(countFileRecordsInRange(input.handle, w.range, options.delimiter, r));
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

// One worker of the parallel scan: its block and the arena that holds it.
struct AggregateWorkerLocal {
  ArenaAllocator arena;
  GroupAccumulators block;
};

using AggregateWorker = ChunkWorker<AggregateWorkerLocal>;

// The shared count(DISTINCT ...) sets of one pass of workers: one per such
// spec, null for the others.
struct DistinctSetsOfPass {
  std::vector<std::unique_ptr<ShardedStringSet>> by_spec;

  [[nodiscard]] Error init(std::span<const AggregateSpec> specs) {
    by_spec.resize(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
      if (specs[i].kind != AggregateKind::count_distinct) continue;
      by_spec[i].reset(new (std::nothrow) ShardedStringSet);
      if (by_spec[i] == nullptr) return Error::OutOfMemory;
      TAVIX_TRY(by_spec[i]->init());
    }
    return Error::ok;
  }

  // Sets the count of every aggregate spec that has a set.
  void countInto(std::vector<std::optional<uint64_t>>& distinct_counts) const {
    for (size_t i = 0; i < by_spec.size(); ++i)
      if (by_spec[i] != nullptr) distinct_counts[i] = by_spec[i]->size();
  }
};

// One thread's writers into the sets of a pass, null for the aggregate specs without
// a set.
struct DistinctWriters {
  std::vector<std::unique_ptr<ShardedStringSetWriter>> owned;
  std::vector<ShardedStringSetWriter*> by_spec;

  [[nodiscard]] Error init(const DistinctSetsOfPass& sets) {
    owned.resize(sets.by_spec.size());
    by_spec.assign(sets.by_spec.size(), nullptr);
    for (size_t i = 0; i < sets.by_spec.size(); ++i) {
      if (sets.by_spec[i] == nullptr) continue;
      owned[i].reset(new (std::nothrow) ShardedStringSetWriter(*sets.by_spec[i]));
      if (owned[i] == nullptr) return Error::OutOfMemory;
      by_spec[i] = owned[i].get();
    }
    return Error::ok;
  }

  [[nodiscard]] Error flush() {
    for (ShardedStringSetWriter* writer : by_spec)
      if (writer != nullptr) TAVIX_TRY(writer->flush());
    return Error::ok;
  }
};

// What the parallel scan shares read-only with its workers.
struct ParallelAggregateFrame {
  const AggregateInput* input;
  std::span<const AggregateSpec> specs;
  const AccumulatorPlan* plan;  // the per-record step of `specs`
  const RowFilter* filter;
  size_t span;  // leading fields a record is cut to
  char delimiter;
};

// Folds each record it takes into one block, count(DISTINCT ...) texts going
// through `writers`.
class BlockSink final : public RecordSink {
 public:
  BlockSink(std::span<const AggregateSpec> specs, const AccumulatorPlan& plan,
            GroupAccumulators& block, ArenaAllocator& arena, const DistinctWriters& writers) noexcept
      : specs_(specs), plan_(plan), block_(block), arena_(arena), writers_(writers) {}

  Error take(const FieldSlice* fields, size_t count) override {
    return plan_.accumulate(specs_, block_, fields, count, arena_, writers_.by_spec);
  }

 private:
  std::span<const AggregateSpec> specs_;
  const AccumulatorPlan& plan_;
  GroupAccumulators& block_;
  ArenaAllocator& arena_;
  const DistinctWriters& writers_;
};

// Makes a worker's empty block in its own arena. Runs on the worker's thread.
Error startWorkerBlock(std::span<const AggregateSpec> specs, AggregateWorkerLocal& local) {
  SharedAccumulatorArrays shared;
  TAVIX_TRY(allocSharedAccumulatorArrays(local.arena, specs, shared));
  return newGroupAccumulators(local.arena, {}, specs.size(), shared, local.block);
}

// Merges the ended workers' blocks into `block` in range order; the first
// worker error in range order ends it.
Error mergeWorkerBlocks(std::span<AggregateWorker> done, std::span<const AggregateSpec> specs,
                        GroupAccumulators& block, ArenaAllocator& arena) {
  TAVIX_TRY(firstWorkerError<AggregateWorker>(done));
  for (const AggregateWorker& w : done)
    TAVIX_TRY(mergeGroupAccumulators(block, w.local.block, specs, arena));
  return Error::ok;
}

// One worker: a block in its own arena, filled from the records of its
// range that pass WHERE; count(DISTINCT ...) texts go to the pass's shared
// sets through writers of its own, flushed at the end of the range. Runs on
// the worker's thread.
Error aggregateWorkerMain(const ParallelAggregateFrame& frame, const DistinctSetsOfPass& sets,
                          AggregateWorker& w) {
  TAVIX_TRY(startWorkerBlock(frame.specs, w.local));
  DistinctWriters writers;
  TAVIX_TRY(writers.init(sets));
  BlockSink sink(frame.specs, *frame.plan, w.local.block, w.local.arena, writers);
  TAVIX_TRY(forEachRangeAggregateRecord(
      frame.input->handle, frame.delimiter, frame.span, *frame.filter, w,
      [&](const AggregateRecord& record) { return sink.take(record.fields, record.count); }));
  return writers.flush();
}

// Fills `block` (empty, in `arena`) with worker threads that share
// record-aligned ranges of the body, merged in range order, and sets the
// distinct counts the shared sets hold. The first worker error in range
// order ends it.
Error aggregateInParallel(const ParallelAggregateFrame& frame, const QueryOptions& options,
                          GroupAccumulators& block, ArenaAllocator& arena,
                          std::vector<std::optional<uint64_t>>& distinct_counts) {
  const MappedCsv& csv = frame.input->csv;
  ChunkPlan plan;
  TAVIX_TRY(plan.initShared(csv.bytes(), csv.header.data_start, options.thread_count,
                            frame.delimiter, frame.input->handle));
  // A pass over ranges cut at line ends is dropped when a cut missed a
  // record start, and the pass over exact ranges puts its distinct texts in
  // sets of its own.
  DistinctSetsOfPass sets[2];
  TAVIX_TRY(sets[0].init(frame.specs));
  TAVIX_TRY(sets[1].init(frame.specs));
  return runChunkWorkers<AggregateWorkerLocal>(
      plan,
      [&](AggregateWorker& w) -> Error {
        return aggregateWorkerMain(frame, sets[plan.exact() ? 1 : 0], w);
      },
      [&](std::span<AggregateWorker> done) -> Error {
        TAVIX_TRY(mergeWorkerBlocks(done, frame.specs, block, arena));
        sets[plan.exact() ? 1 : 0].countInto(distinct_counts);
        return Error::ok;
      });
}

// Fills `block` (empty, in `arena`) from the records of `feed`: on this
// thread, or range by range on the feed's worker threads, the workers'
// blocks merged in range order as above.
Error aggregateFedRecords(RecordFeed& feed, std::span<const AggregateSpec> specs,
                          const AccumulatorPlan& step, GroupAccumulators& block,
                          ArenaAllocator& arena,
                          std::vector<std::optional<uint64_t>>& distinct_counts) {
  ChunkPlan plan;
  bool ranged = false;
  TAVIX_TRY(feed.planRanges(plan, ranged));
  if (!ranged) {
    DistinctSetsOfPass sets;
    TAVIX_TRY(sets.init(specs));
    DistinctWriters writers;
    TAVIX_TRY(writers.init(sets));
    BlockSink sink(specs, step, block, arena, writers);
    TAVIX_TRY(feed.feedAll(sink));
    TAVIX_TRY(writers.flush());
    sets.countInto(distinct_counts);
    return Error::ok;
  }
  DistinctSetsOfPass sets[2];
  TAVIX_TRY(sets[0].init(specs));
  TAVIX_TRY(sets[1].init(specs));
  return runChunkWorkers<AggregateWorkerLocal>(
      plan,
      [&](AggregateWorker& w) -> Error {
        TAVIX_TRY(startWorkerBlock(specs, w.local));
        DistinctWriters writers;
        TAVIX_TRY(writers.init(sets[plan.exact() ? 1 : 0]));
        BlockSink sink(specs, step, w.local.block, w.local.arena, writers);
        TAVIX_TRY(feed.feedRange(w, sink));
        return writers.flush();
      },
      [&](std::span<AggregateWorker> done) -> Error {
        TAVIX_TRY(mergeWorkerBlocks(done, specs, block, arena));
        sets[plan.exact() ? 1 : 0].countInto(distinct_counts);
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

namespace {

Error runGlobalAggregate(const ParsedQuery& query, const ResultFile& result,
                         const QueryOptions& options, AggregateInput& input) {
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

  std::vector<std::optional<uint64_t>> distinct_counts(list.specs.size());
  AccumulatorPlan plan;
  plan.compile(list.specs);
  const uint64_t threads = options.thread_count != 0 ? options.thread_count : platform::processorCount();
  if (input.feed != nullptr) {
    TAVIX_TRY(aggregateFedRecords(*input.feed, list.specs, plan, block, arena, distinct_counts));
  } else if (isLoneCountStar(query, list.specs)) {
    TAVIX_TRY(countBodyRecords(input, options, block.rows));
  } else if (input.csv.size >= kParallelMinBytes && threads >= 2) {
    const ParallelAggregateFrame frame{&input, list.specs, &plan, &filter,
                                       aggregateFieldSpan(query, input.csv.map, list.specs),
                                       options.delimiter};
    TAVIX_TRY(aggregateInParallel(frame, options, block, arena, distinct_counts));
  } else {
    // count(DISTINCT ...) texts go through the same batched sets as on
    // worker threads: a batch loads the slots it looks up ahead of time,
    // where one set per block would wait on memory once or twice per record.
    const size_t span = aggregateFieldSpan(query, input.csv.map, list.specs);
    DistinctSetsOfPass sets;
    TAVIX_TRY(sets.init(list.specs));
    DistinctWriters writers;
    TAVIX_TRY(writers.init(sets));
    auto accumulate = [&](const AggregateRecord& record) {
      return plan.accumulate(list.specs, block, record.fields, record.count, arena, writers.by_spec);
    };
    if (input.csv.size >= kParallelMinBytes) {
      // One thread over a large input reads it as a worker reads its range,
      // by positioned reads: cheaper than walking the mapping, whose pages
      // would stay resident.
      ParallelPass pass;
      ChunkWorkerBase whole;
      whole.range = ScanRange{input.csv.header.data_start, input.csv.size};
      whole.pass = &pass;
      TAVIX_TRY(forEachRangeAggregateRecord(input.handle, options.delimiter, span, filter, whole,
                                            accumulate));
    } else {
      bool ran_over = false;
      TAVIX_TRY(forEachAggregateRecord(input.csv.view.data(), input.csv.header.data_start,
                                       input.csv.size, options.delimiter, span, filter, ran_over,
                                       accumulate));
    }
    TAVIX_TRY(writers.flush());
    sets.countInto(distinct_counts);
  }

  ArenaAllocator output_arena;
  const Allocator out = output_arena.allocator();
  std::vector<FieldSlice> rendered(list.specs.size());
  for (size_t i = 0; i < list.specs.size(); ++i)
    TAVIX_TRY(renderAggregateValue(out, list.specs[i], block, i, distinct_counts[i], rendered[i]));
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

}  // namespace

Error runGlobalAggregateQuery(const ParsedQuery& query, const ResultFile& result,
                              const QueryOptions& options, PreopenedSource source) {
  AggregateInput input;
  TAVIX_TRY(openAggregateInput(query, source, options, input));
  return runGlobalAggregate(query, result, options, input);
}

Error runGlobalAggregateQuery(const ParsedQuery& query, const ResultFile& result,
                              const QueryOptions& options, RecordFeed& feed) {
  AggregateInput input;
  TAVIX_TRY(openFedInput(feed, options, input));
  return runGlobalAggregate(query, result, options, input);
}

}  // namespace tavix
