// runParallelMappedQuery: plain columns over one large file, scanned by
// worker threads over record-aligned ranges of one read-only mapping. This
// file holds the shared frame and the ORDER BY path; the unsorted path is in
// parallel_unsorted_path.cpp.
//
// Ranges are first cut at the line end after each nominal offset, which
// reads nothing of the file; `runChunkWorkers` checks from the workers'
// outcomes that every cut fell on a record start and otherwise cuts exactly
// and runs the workers again, before anything is written.
//
// ORDER BY path: each worker reads its range by positioned reads,
// tests WHERE on its records and keeps, per matching record, its sort value
// and its raw line (as views into the mapping): all of them, or only the
// best k in a `TopNHeap` when the statement has a LIMIT of at most
// kTopNMaxRows and no DISTINCT.
// After joining, the executor appends the workers' records in range order,
// so the merged array is in input order and the sort breaks ties by input
// position, then splits each kept line again, projects it and writes it in
// the sorted-row form (every JSON value a string).
#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "engine/csv/chunk_reader.h"
#include "engine/csv/field_access.h"
#include "engine/output/result_writer.h"
#include "engine/output/text_buffer.h"
#include "exec/scan/mapped_scan.h"
#include "exec/scan/parallel_mapped_paths.h"
#include "exec/scan/scan_executors.h"
#include "exec/sort/row_sorter.h"
#include "platform/platform.h"

namespace tavix {

Error runParallelMappedQuery(const ParsedQuery& query, const InputFile& input,
                             const ResultFile& result, const QueryOptions& options) {
  MappedPlainScan scan;
  TAVIX_TRY(openMappedPlainScan(query, input, result, options, scan));

  ParallelScanFrame frame;
  frame.query = &query;
  frame.options = &options;
  frame.input = &input;
  frame.result = &result;
  frame.data = scan.input.view.data();
  frame.map = &scan.input.map;
  frame.columns = &scan.columns;
  frame.filter = &scan.filter;
  frame.writer = &scan.writer;
  // Cutting exactly reads the quote state of the whole file first; cuts at
  // line ends are nearly always the same and cost nothing, and the workers
  // tell when they were not.
  TAVIX_TRY(frame.plan.init(scan.input.bytes(), scan.input.header.data_start, options.thread_count,
                            options.delimiter));
  if (query.has_order_by) return runParallelSortedPath(frame);
  return runParallelUnsortedPath(frame);
}

namespace {

// One worker of the ORDER BY path.
struct SortWorkerLocal {
  TopNHeap heap;                       // use_heap
  std::vector<SortKeyRecord> entries;  // otherwise
  // Sort values that were unescaped: they live until the executor returns.
  ArenaAllocator kept_texts;
  // The worker's own DISTINCT rows: a record repeating an earlier record of
  // the same range can only repeat a row the executor writes anyway.
  DistinctRowSet distinct_rows;
};

// What every sort worker reads.
struct SortPathPlan {
  uint64_t sort_column = 0;
  bool use_heap = false;      // LIMIT k <= kTopNMaxRows without DISTINCT
  bool count_answer = false;  // no LIMIT: every kept record is in the answer
  size_t filter_span = 0;     // leading fields the WHERE reads
};

Error scanSortRange(const ParallelScanFrame& frame, const SortPathPlan& plan,
                    ChunkWorker<SortWorkerLocal>& w) {
  const ParsedQuery& query = *frame.query;
  const OutputColumns& columns = *frame.columns;
  const char delimiter = frame.options->delimiter;
  SortWorkerLocal& local = w.local;
  if (plan.use_heap)
    TAVIX_TRY(local.heap.init(static_cast<uint64_t>(query.limit), query.order_by.primary_descending));
  RecordFields record;
  std::vector<FieldSlice> values(columns.size());
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  BudgetShare budget(w.budget());
  uint64_t own_answer_bytes = 0;
  // Fields the WHERE and the sort key read; the whole record only when the
  // row is projected.
  const size_t key_span = std::max<size_t>(plan.filter_span, plan.sort_column + 1);
  const bool project = query.distinct || plan.count_answer;

  // The range is read by positioned reads, as the unsorted path reads it:
  // the mapping's pages are never faulted in by the scan. What a kept record
  // keeps (its line, its sort value) is taken as a view of the same bytes in
  // the mapping, which outlives the records.
  return forEachChunkLine(
      frame.input->handle, delimiter, w,
      [&](FieldSlice line, bool quote_free, uint64_t line_offset, bool&) -> Error {
        record.reset(line, quote_free, delimiter);
        TAVIX_TRY(record.need(plan.filter_span, scratch));
        bool pass = false;
        TAVIX_TRY(frame.filter->test(record.fields(), record.count(), pass));
        if (!pass) return Error::ok;
        TAVIX_TRY(record.need(project ? kAllFields : key_span, scratch));
        const FieldSlice* fields = record.fields();
        const size_t count = record.count();
        if (project) projectRow(columns, fields, count, row_arena, values.data());
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(local.distinct_rows.insertRow(values, fresh));
          if (!fresh) return Error::ok;
        }
        const char* const mapped = frame.data + line_offset;
        FieldSlice key = plan.sort_column < count ? fields[plan.sort_column] : FieldSlice();
        if (plan.use_heap) {
          // Once the heap is full nearly every row loses to its worst record:
          // test that first, and build and keep a record only for a row the
          // heap takes.
          const double number = readSortNumber(key);
          if (!local.heap.wouldAdmit(number, key)) return Error::ok;
          if (!keepPastRecord(key, line, mapped, local.kept_texts)) return Error::OutOfMemory;
          local.heap.offer(SortKeyRecord{makeOrderKey(number, key), number, key,
                                         FieldSlice(mapped, line.size())});
          return Error::ok;
        }
        if (!keepPastRecord(key, line, mapped, local.kept_texts)) return Error::OutOfMemory;
        const SortKeyRecord sort_record = makeSortKeyRecord(key, FieldSlice(mapped, line.size()));
        local.entries.push_back(sort_record);
        if (plan.count_answer) {
          // Without LIMIT every kept record is written: stop as soon as the
          // answer is sure to pass the bound. With DISTINCT only this
          // worker's own rows are known to be distinct answer rows.
          const uint64_t bytes = minimumRenderedBytes(values);
          own_answer_bytes += bytes;
          const bool within =
              query.distinct ? AnswerBudget::withinLimit(own_answer_bytes) : budget.add(bytes);
          if (!within) return Error::FileTooBig;
        }
        return Error::ok;
      });
}

// The source column the single ORDER BY key names: the column of an output
// column (by position, label or header name), else any header column.
[[nodiscard]] Error resolveSortColumn(const ParallelScanFrame& frame, uint64_t& column) {
  const ParsedQuery& query = *frame.query;
  SortKeySource source;
  TAVIX_TRY(resolveSortKeySource(query.order_by.primary_column, query.order_by.primary_descending,
                                 *frame.columns, *frame.map, source));
  column = source.from_output ? frame.columns->specs[source.index].column : source.index;
  return Error::ok;
}

// The merge of the ORDER BY path: the workers' records in range order, then
// the sort, and the kept lines split again, projected and written.
[[nodiscard]] Error mergeSortWorkers(const ParallelScanFrame& frame, const SortPathPlan& plan,
                                     std::span<ChunkWorker<SortWorkerLocal>> workers) {
  const ParsedQuery& query = *frame.query;
  const QueryOptions& options = *frame.options;
  const bool descending = query.order_by.primary_descending;
  TAVIX_TRY(firstWorkerError<ChunkWorker<SortWorkerLocal>>(workers));

  uint64_t n = 0;
  for (const ChunkWorker<SortWorkerLocal>& w : workers)
    n += plan.use_heap ? w.local.heap.size() : w.local.entries.size();
  std::vector<SortKeyRecord> records(n);
  uint64_t filled = 0;
  for (ChunkWorker<SortWorkerLocal>& w : workers) {
    SortWorkerLocal& local = w.local;
    if (plan.use_heap) {
      filled += local.heap.takeInInputOrder(records.data() + filled);
    } else {
      std::copy(local.entries.begin(), local.entries.end(), records.begin() + static_cast<ptrdiff_t>(filled));
      filled += local.entries.size();
      std::vector<SortKeyRecord>().swap(local.entries);
    }
  }
  std::optional<uint64_t> limit;
  if (query.limit >= 0 && !query.distinct) limit = static_cast<uint64_t>(query.limit);
  uint64_t kept = 0;
  TAVIX_TRY(sortKeyRecords(records.data(), n, descending, limit, kept));

  const OutputColumns& columns = *frame.columns;
  std::vector<FieldSlice> values(columns.size());
  FieldSlice fields[kMaxRecordFields];
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  DistinctRowSet distinct_rows;
  // Sorted rows are written as every sorted scan writes them: rendered in
  // the form of rows gathered for sorting, every JSON value a string.
  const RowForm form = rowFormOf(*frame.writer, JsonValues::strings);
  TextBuffer row_text;
  uint64_t written = 0;
  // Sorted lines lie all over the mapping: ask for a line a few rows ahead
  // so its cache miss overlaps the work on the current one.
  constexpr uint64_t kPrefetchAhead = 16;
  for (uint64_t i = 0; i < kept; ++i) {
    if (query.limit >= 0 && written >= static_cast<uint64_t>(query.limit)) break;
    if (i + kPrefetchAhead < kept) __builtin_prefetch(records[i + kPrefetchAhead].row_text.data());
    scratch.reset();
    size_t count = 0;
    TAVIX_TRY(splitRecordFields(records[i].row_text, options.delimiter, fields, count, scratch));
    projectRow(columns, fields, count, row_arena, values.data());
    if (query.distinct) {
      bool fresh = false;
      TAVIX_TRY(distinct_rows.insertRow(values, fresh));
      if (!fresh) continue;
    }
    row_text.clear();
    TAVIX_TRY(appendRenderedRow(row_text, form, values));
    TAVIX_TRY(emitRenderedRow(*frame.writer, row_text.view()));
    ++written;
  }
  return finishScanOutput(*frame.writer);
}

}  // namespace

Error runParallelSortedPath(ParallelScanFrame& frame) {
  const ParsedQuery& query = *frame.query;
  SortPathPlan plan;
  TAVIX_TRY(resolveSortColumn(frame, plan.sort_column));
  plan.use_heap = query.limit >= 0 && !query.distinct &&
                  static_cast<uint64_t>(query.limit) <= kTopNMaxRows;
  plan.count_answer = query.limit < 0;
  plan.filter_span = filterFieldSpan(query, *frame.map);
  return runChunkWorkers<SortWorkerLocal>(
      frame.plan, [&](ChunkWorker<SortWorkerLocal>& w) { return scanSortRange(frame, plan, w); },
      [&](std::span<ChunkWorker<SortWorkerLocal>> workers) {
        return mergeSortWorkers(frame, plan, workers);
      });
}

}  // namespace tavix
