// runParallelMappedQuery: any select list over one large file, scanned by
// worker threads over record-aligned ranges of one read-only mapping. This
// file holds the shared frame and the ORDER BY path; the unsorted path is in
// parallel_unsorted_path.cpp.
//
// Ranges are first cut at the line end after each nominal offset, which
// reads nothing of the file; `runChunkWorkers` checks from the workers'
// outcomes that every cut fell on a record start and otherwise cuts exactly
// and runs the workers again, before anything is written.
//
// ORDER BY path (any number of keys, each an output column, a computed item
// or any header column): each worker reads its range by positioned reads,
// tests WHERE on its records and keeps, per matching record, its key values
// (read once) and its raw line (as views into the mapping): all of them, or
// only its best LIMIT + OFFSET in a `TopNHeap` when that is at most
// kTopNMaxRows.
// After joining, the executor appends the workers' records in range order,
// so the merged array is in input order and the sort breaks ties by input
// position, then splits each kept line again, projects it and writes it in
// the sorted-row form (every JSON value a string).
#include <algorithm>
#include <memory>
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

// Where a worker reads one ORDER BY key's value.
struct SortKeyRead {
  uint64_t index = 0;       // source column, or output position
  bool from_value = false;  // the value of an output expression at `index`
};

// What every sort worker reads.
struct SortPathPlan {
  std::vector<SortKeyRead> keys;  // in ORDER BY order, at least one
  std::unique_ptr<bool[]> more_descending;
  RecordOrder order;
  size_t more_count = 0;
  // LIMIT + OFFSET is small: each worker keeps its best rows in a heap.
  bool use_heap = false;
  uint64_t window = 0;        // LIMIT + OFFSET with use_heap
  bool count_answer = false;  // no LIMIT: every kept record is in the answer
  bool project = false;       // workers evaluate the select list
  // DISTINCT with a key that is not among the output: duplicates may carry
  // different keys, and only the first in input order counts, so the merge
  // drops repeats in input order before sorting.
  bool distinct_before_sort = false;
  size_t filter_span = 0;  // leading fields the WHERE reads
  size_t key_span = 0;     // leading fields the WHERE and the keys read
};

// One worker of the ORDER BY path.
struct SortWorkerLocal {
  TopNHeap heap;  // use_heap
  // The further key values of the heap's slot i at [i * more_count, ...).
  std::vector<OrderValue> slot_more;
  std::vector<OrderValue> candidate_more;
  std::vector<SortKeyRecord> entries;  // without use_heap
  std::vector<OrderValue> entry_more;  // their further key values
  // Key texts that were unescaped or computed: they live until the executor
  // returns.
  ArenaAllocator kept_texts;
  // The worker's own DISTINCT rows: a record repeating an earlier record of
  // the same range can only repeat a row the executor writes anyway.
  DistinctRowSet distinct_rows;
};

FieldSlice readSortKey(const SortKeyRead& key, const FieldSlice* fields, size_t count,
                       const FieldSlice* values) noexcept {
  if (key.from_value) return values[key.index];
  return key.index < count ? fields[key.index] : FieldSlice();
}

Error scanSortRange(const ParallelScanFrame& frame, const SortPathPlan& plan,
                    ChunkWorker<SortWorkerLocal>& w) {
  const ParsedQuery& query = *frame.query;
  const OutputColumns& columns = *frame.columns;
  const char delimiter = frame.options->delimiter;
  SortWorkerLocal& local = w.local;
  const size_t m = plan.more_count;
  if (plan.use_heap) {
    TAVIX_TRY(local.heap.init(plan.window, plan.order));
    local.slot_more.resize(static_cast<size_t>(plan.window) * m);
  }
  local.candidate_more.resize(m);
  RecordFields record;
  std::vector<FieldSlice> values(columns.size());
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  BudgetShare budget(w.budget());
  uint64_t own_answer_bytes = 0;

  // The range is read by positioned reads, as the unsorted path reads it:
  // the mapping's pages are never faulted in by the scan. What a kept record
  // keeps (its line, its key values) is taken as a view of the same bytes in
  // the mapping, which outlives the records; a key text found elsewhere (an
  // unescaped field, a computed value) is copied.
  return forEachChunkLine(
      frame.input->handle, delimiter, w,
      [&](FieldSlice line, bool quote_free, uint64_t line_offset, bool&) -> Error {
        record.reset(line, quote_free, delimiter);
        TAVIX_TRY(record.need(plan.filter_span, scratch));
        bool pass = false;
        TAVIX_TRY(frame.filter->test(record.fields(), record.count(), pass));
        if (!pass) return Error::ok;
        TAVIX_TRY(record.need(plan.project ? kAllFields : plan.key_span, scratch));
        const FieldSlice* fields = record.fields();
        const size_t count = record.count();
        if (plan.project) projectRow(columns, fields, count, row_arena, values.data());
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(local.distinct_rows.insertRow(values, fresh));
          if (!fresh) return Error::ok;
        }
        const char* const mapped = frame.data + line_offset;
        FieldSlice first = readSortKey(plan.keys[0], fields, count, values.data());
        const double number = readSortNumber(first);
        // Once the heap is full nearly every row loses on its first key
        // alone: test that first, and build and keep a record only for a
        // row the heap takes.
        if (plan.use_heap && !local.heap.wouldAdmit(number, first)) return Error::ok;
        for (size_t i = 0; i < m; ++i) {
          local.candidate_more[i] =
              makeOrderValue(readSortKey(plan.keys[i + 1], fields, count, values.data()));
        }
        SortKeyRecord sort_record{makeOrderKey(number, first), number, first,
                                  FieldSlice(mapped, line.size()), local.candidate_more.data()};
        OrderValue* more = nullptr;
        if (plan.use_heap) {
          if (!local.heap.wouldAdmit(sort_record)) return Error::ok;
          more = m == 0 ? nullptr : local.slot_more.data() + local.heap.nextSlot() * m;
        } else {
          local.entry_more.resize(local.entry_more.size() + m);
          more = m == 0 ? nullptr : local.entry_more.data() + local.entry_more.size() - m;
        }
        if (!keepPastRecord(first, line, mapped, local.kept_texts)) return Error::OutOfMemory;
        sort_record.key_text = first;
        for (size_t i = 0; i < m; ++i) {
          more[i] = local.candidate_more[i];
          if (!keepPastRecord(more[i].text, line, mapped, local.kept_texts)) return Error::OutOfMemory;
        }
        if (plan.use_heap) {
          sort_record.more_keys = more;
          local.heap.admit(sort_record);
          return Error::ok;
        }
        // The entries' further keys are pointed at once the worker is done
        // (the list moves while it grows).
        sort_record.more_keys = nullptr;
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

// Resolves every ORDER BY key to where a worker reads it: the source column
// of an output column that takes a field (or of a header column no output
// names), else the value of an output expression.
[[nodiscard]] Error planSortKeys(const ParallelScanFrame& frame, SortPathPlan& plan) {
  const OutputColumns& columns = *frame.columns;
  std::vector<SortKeySource> sources;
  TAVIX_TRY(resolveSortKeySources(*frame.query, columns, *frame.map, sources));
  plan.more_count = sources.size() - 1;
  plan.more_descending.reset(new bool[sources.size()]);
  bool all_in_output = true;
  for (size_t i = 0; i < sources.size(); ++i) {
    const SortKeySource& source = sources[i];
    SortKeyRead read;
    if (!source.from_output) {
      read.index = source.index;
      all_in_output = false;
    } else if (columns.specs[source.index].kind == OutputColumnKind::column) {
      read.index = columns.specs[source.index].column;
    } else {
      read.index = source.index;
      read.from_value = true;
    }
    if (!read.from_value) plan.key_span = std::max<size_t>(plan.key_span, read.index + 1);
    plan.project = plan.project || read.from_value;
    plan.keys.push_back(read);
    if (i > 0) plan.more_descending[i - 1] = source.descending;
  }
  plan.order = RecordOrder{sources[0].descending,
                           std::span<const bool>(plan.more_descending.get(), plan.more_count)};
  plan.distinct_before_sort = frame.query->distinct && !all_in_output;
  return Error::ok;
}

// Keeps, in input order, only the records whose output values were not seen
// in an earlier record; returns the count kept.
[[nodiscard]] Error dropRepeatedRows(const ParallelScanFrame& frame,
                                     std::vector<SortKeyRecord>& records, uint64_t& count) {
  const OutputColumns& columns = *frame.columns;
  std::vector<FieldSlice> values(columns.size());
  FieldSlice fields[kMaxRecordFields];
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  DistinctRowSet seen;
  count = 0;
  for (const SortKeyRecord& r : records) {
    scratch.reset();
    size_t field_count = 0;
    TAVIX_TRY(splitRecordFields(r.row_text, frame.options->delimiter, fields, field_count, scratch));
    projectRow(columns, fields, field_count, row_arena, values.data());
    bool fresh = false;
    TAVIX_TRY(seen.insertRow(values, fresh));
    if (fresh) records[count++] = r;
  }
  return Error::ok;
}

// The merge of the ORDER BY path: the workers' records in range order, then
// the sort, and the kept lines split again, projected and written after
// OFFSET, up to LIMIT.
[[nodiscard]] Error mergeSortWorkers(const ParallelScanFrame& frame, const SortPathPlan& plan,
                                     std::span<ChunkWorker<SortWorkerLocal>> workers) {
  const ParsedQuery& query = *frame.query;
  const QueryOptions& options = *frame.options;
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
      continue;
    }
    for (size_t i = 0; i < local.entries.size(); ++i) {
      SortKeyRecord& r = records[filled + i];
      r = local.entries[i];
      if (plan.more_count != 0) r.more_keys = local.entry_more.data() + i * plan.more_count;
    }
    filled += local.entries.size();
    std::vector<SortKeyRecord>().swap(local.entries);
  }
  if (plan.distinct_before_sort) {
    TAVIX_TRY(dropRepeatedRows(frame, records, n));
    records.resize(n);
  }
  // With DISTINCT (keys among the output) repeats across ranges are dropped
  // while writing: they tie with their first copy on every key, so it sorts
  // first. The window is then counted while writing.
  std::optional<uint64_t> limit;
  if (!query.distinct || plan.distinct_before_sort) limit = computeSortLimit(query.limit, query.offset);
  uint64_t kept = 0;
  TAVIX_TRY(sortKeyRecords(records.data(), n, plan.order, limit, kept));

  const OutputColumns& columns = *frame.columns;
  std::vector<FieldSlice> values(columns.size());
  FieldSlice fields[kMaxRecordFields];
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  DistinctRowSet distinct_rows;
  const bool drop_repeats = query.distinct && !plan.distinct_before_sort;
  // Sorted rows are written as every sorted scan writes them: rendered in
  // the form of rows gathered for sorting, every JSON value a string.
  const RowForm form = rowFormOf(*frame.writer, JsonValues::strings);
  TextBuffer row_text;
  const uint64_t skip = query.offset > 0 ? static_cast<uint64_t>(query.offset) : 0;
  uint64_t skipped = 0;
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
    if (drop_repeats) {
      bool fresh = false;
      TAVIX_TRY(distinct_rows.insertRow(values, fresh));
      if (!fresh) continue;
    }
    if (skipped < skip) {
      ++skipped;
      continue;
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
  TAVIX_TRY(planSortKeys(frame, plan));
  const std::optional<uint64_t> window = computeSortLimit(query.limit, query.offset);
  // With DISTINCT a worker's heap holds its best distinct rows; that covers
  // the answer only when repeats tie on every key (every key is among the
  // output).
  plan.use_heap = window.has_value() && *window <= kTopNMaxRows && !plan.distinct_before_sort;
  plan.window = plan.use_heap ? *window : 0;
  plan.count_answer = query.limit < 0;
  plan.project = plan.project || query.distinct || plan.count_answer;
  plan.filter_span = filterFieldSpan(query, *frame.map);
  plan.key_span = std::max(plan.key_span, plan.filter_span);
  return runChunkWorkers<SortWorkerLocal>(
      frame.plan, [&](ChunkWorker<SortWorkerLocal>& w) { return scanSortRange(frame, plan, w); },
      [&](std::span<ChunkWorker<SortWorkerLocal>> workers) {
        return mergeSortWorkers(frame, plan, workers);
      });
}

}  // namespace tavix
