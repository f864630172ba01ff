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
#include <cmath>
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
#include "exec/sort/stable_sort.h"
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
  frame.data_start = scan.input.header.data_start;
  frame.size = scan.input.bytes().size();
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
  RowForm form;            // sorted rows: every JSON value a string
};

// What a worker saw of one key's values: numbers, other texts, or both (a
// column on which the ORDER BY rule is not transitive).
enum KeyKinds : uint8_t { kSawNumber = 1, kSawText = 2 };

// One worker of the ORDER BY path.
struct SortWorkerLocal {
  TopNHeap heap;  // use_heap
  // The further key values of the heap's slot i at [i * more_count, ...).
  std::vector<OrderValue> slot_more;
  std::vector<OrderValue> candidate_more;
  // Without use_heap: every kept row, rendered as it is written (row ends
  // at `row_ends`, offsets into `rendered`), with its record; once the range
  // is done the records view their rows and, when the keys allow it, are
  // sorted here (`sorted`).
  std::vector<SortKeyRecord> entries;
  std::vector<OrderValue> entry_more;  // their further key values
  TextBuffer rendered;
  std::vector<uint64_t> row_ends;
  std::vector<uint8_t> key_kinds;  // KeyKinds per key
  bool sorted = false;
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

// True when no key mixes numbers and other texts: the ORDER BY rule is then
// a strict weak order, so sorted runs merged stably give the order one sort
// of all rows gives.
bool keysAreUniform(std::span<const uint8_t> kinds) noexcept {
  for (const uint8_t k : kinds)
    if (k == (kSawNumber | kSawText)) return false;
  return true;
}

// Runs on the worker once its range is done: points the kept records at
// their rendered rows and further keys and, unless DISTINCT must first drop
// repeats in input order or a key mixes numbers and texts, sorts them.
Error finishSortRange(const SortPathPlan& plan, SortWorkerLocal& local) {
  const size_t m = plan.more_count;
  uint64_t start = 0;
  for (size_t i = 0; i < local.entries.size(); ++i) {
    SortKeyRecord& r = local.entries[i];
    const uint64_t end = local.row_ends[i];
    r.row_text = local.rendered.slice(start, end - start);
    start = end;
    if (m != 0) r.more_keys = local.entry_more.data() + i * m;
  }
  std::vector<uint64_t>().swap(local.row_ends);
  if (plan.distinct_before_sort || !keysAreUniform(local.key_kinds)) return Error::ok;
  uint64_t kept = 0;
  TAVIX_TRY(sortKeyRecords(local.entries.data(), local.entries.size(), plan.order, std::nullopt, kept));
  local.sorted = true;
  return Error::ok;
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
  local.key_kinds.assign(m + 1, 0);
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
  TAVIX_TRY(forEachChunkLine(
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
        local.key_kinds[0] |= std::isnan(number) ? kSawText : kSawNumber;
        if (plan.use_heap && !local.heap.wouldAdmit(number, first)) return Error::ok;
        for (size_t i = 0; i < m; ++i) {
          local.candidate_more[i] =
              makeOrderValue(readSortKey(plan.keys[i + 1], fields, count, values.data()));
          local.key_kinds[i + 1] |= std::isnan(local.candidate_more[i].number) ? kSawText : kSawNumber;
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
        // The entries' further keys and rows are pointed at once the range
        // is done (the lists move while they grow).
        TAVIX_TRY(appendRenderedRow(local.rendered, plan.form, values));
        local.row_ends.push_back(local.rendered.len);
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
      }));
  return plan.use_heap ? Error::ok : finishSortRange(plan, local);
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

// Writes sorted rows after OFFSET, up to LIMIT; with DISTINCT whose keys are
// all among the output, a row written before is dropped without counting
// (a repeat ties with its first copy on every key, so that copy comes
// first).
class SortedRowWriter {
 public:
  SortedRowWriter(const ParsedQuery& query, bool drop_repeats, ResultWriter& writer) noexcept
      : writer_(writer),
        skip_(query.offset > 0 ? static_cast<uint64_t>(query.offset) : 0),
        limit_(query.limit),
        drop_repeats_(drop_repeats) {}

  bool full() const noexcept { return limit_ >= 0 && written_ >= static_cast<uint64_t>(limit_); }

  // Writes `row` (rendered) unless it is skipped. Returns the writer's
  // error or OutOfMemory.
  [[nodiscard]] Error take(FieldSlice row) {
    if (drop_repeats_) {
      bool fresh = false;
      TAVIX_TRY(seen_.insertText(row, fresh));
      if (!fresh) return Error::ok;
    }
    if (skipped_ < skip_) {
      ++skipped_;
      return Error::ok;
    }
    TAVIX_TRY(emitRenderedRow(writer_, row));
    ++written_;
    return Error::ok;
  }

 private:
  ResultWriter& writer_;
  uint64_t skip_;
  int64_t limit_;
  bool drop_repeats_;
  DistinctRowSet seen_;
  uint64_t skipped_ = 0;
  uint64_t written_ = 0;
};

// The heap merge: the workers' best rows in range order, sorted, and the
// kept lines split again, projected and written.
[[nodiscard]] Error mergeSortHeaps(const ParallelScanFrame& frame, const SortPathPlan& plan,
                                   std::span<ChunkWorker<SortWorkerLocal>> workers) {
  const ParsedQuery& query = *frame.query;
  uint64_t n = 0;
  for (const ChunkWorker<SortWorkerLocal>& w : workers) n += w.local.heap.size();
  std::vector<SortKeyRecord> records(n);
  uint64_t filled = 0;
  for (ChunkWorker<SortWorkerLocal>& w : workers) filled += w.local.heap.takeInInputOrder(records.data() + filled);
  // With DISTINCT repeats across ranges are dropped while writing, so the
  // window is counted there.
  std::optional<uint64_t> limit;
  if (!query.distinct) limit = computeSortLimit(query.limit, query.offset);
  uint64_t kept = 0;
  TAVIX_TRY(sortKeyRecords(records.data(), n, plan.order, limit, kept));

  const OutputColumns& columns = *frame.columns;
  std::vector<FieldSlice> values(columns.size());
  FieldSlice fields[kMaxRecordFields];
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  TextBuffer row_text;
  SortedRowWriter out(query, query.distinct, *frame.writer);
  for (uint64_t i = 0; i < kept && !out.full(); ++i) {
    scratch.reset();
    size_t count = 0;
    TAVIX_TRY(splitRecordFields(records[i].row_text, frame.options->delimiter, fields, count, scratch));
    projectRow(columns, fields, count, row_arena, values.data());
    row_text.clear();
    TAVIX_TRY(appendRenderedRow(row_text, plan.form, values));
    TAVIX_TRY(out.take(row_text.view()));
  }
  return finishScanOutput(*frame.writer);
}

// Merges the workers' sorted runs, in range order among ties, and writes
// the window as the merge goes: the runs are in input order within a range
// and ranges are in input order, so a stable merge gives the order one
// stable sort of all rows gives.
[[nodiscard]] Error writeMergedRuns(const ParallelScanFrame& frame, const SortPathPlan& plan,
                                    std::span<ChunkWorker<SortWorkerLocal>> workers) {
  struct Run {
    const SortKeyRecord* next;
    const SortKeyRecord* end;
  };
  std::vector<Run> runs;
  for (const ChunkWorker<SortWorkerLocal>& w : workers) {
    const std::vector<SortKeyRecord>& e = w.local.entries;
    if (!e.empty()) runs.push_back(Run{e.data(), e.data() + e.size()});
  }
  // A binary heap of run positions, the run whose next record comes first
  // at the top; ties go to the earlier run.
  std::vector<size_t> heap(runs.size());
  for (size_t i = 0; i < heap.size(); ++i) heap[i] = i;
  auto before = [&](size_t a, size_t b) {
    const int c = compareSortKeyRecords(*runs[a].next, *runs[b].next, plan.order);
    return c != 0 ? c < 0 : a < b;
  };
  auto sift_down = [&](size_t i) {
    for (;;) {
      size_t best = i;
      const size_t left = 2 * i + 1;
      if (left < heap.size() && before(heap[left], heap[best])) best = left;
      if (left + 1 < heap.size() && before(heap[left + 1], heap[best])) best = left + 1;
      if (best == i) return;
      std::swap(heap[i], heap[best]);
      i = best;
    }
  };
  for (size_t i = heap.size() / 2; i-- > 0;) sift_down(i);
  SortedRowWriter out(*frame.query, frame.query->distinct, *frame.writer);
  // A run's rows lie all over its worker's rendered text: ask for a row a
  // few records ahead in the same run so its cache miss overlaps the work
  // on the current one.
  constexpr ptrdiff_t kPrefetchAhead = 16;
  while (!heap.empty() && !out.full()) {
    Run& run = runs[heap[0]];
    if (run.end - run.next > kPrefetchAhead) __builtin_prefetch(run.next[kPrefetchAhead].row_text.data());
    TAVIX_TRY(out.take(run.next->row_text));
    if (++run.next == run.end) {
      heap[0] = heap.back();
      heap.pop_back();
    }
    if (!heap.empty()) sift_down(0);
  }
  return finishScanOutput(*frame.writer);
}

// The merge of gathered rows when the runs cannot simply be merged: every
// record in input order (a run a worker sorted is put back in input order,
// which is the order of its rendered rows), repeats dropped first where
// DISTINCT needs it, one sort, and the window written.
[[nodiscard]] Error sortGatheredRows(const ParallelScanFrame& frame, const SortPathPlan& plan,
                                     std::span<ChunkWorker<SortWorkerLocal>> workers) {
  const ParsedQuery& query = *frame.query;
  uint64_t n = 0;
  for (const ChunkWorker<SortWorkerLocal>& w : workers) n += w.local.entries.size();
  std::vector<SortKeyRecord> records;
  records.reserve(n);
  for (ChunkWorker<SortWorkerLocal>& w : workers) {
    std::vector<SortKeyRecord>& e = w.local.entries;
    if (w.local.sorted) {
      stableSort(e.data(), e.size(), [](const SortKeyRecord& a, const SortKeyRecord& b) {
        return a.row_text.data() < b.row_text.data();
      });
    }
    records.insert(records.end(), e.begin(), e.end());
    std::vector<SortKeyRecord>().swap(e);
  }
  if (plan.distinct_before_sort) {
    DistinctRowSet seen;
    uint64_t count = 0;
    for (const SortKeyRecord& r : records) {
      bool fresh = false;
      TAVIX_TRY(seen.insertText(r.row_text, fresh));
      if (fresh) records[count++] = r;
    }
    records.resize(count);
  }
  const bool drop_repeats = query.distinct && !plan.distinct_before_sort;
  std::optional<uint64_t> limit;
  if (!drop_repeats) limit = computeSortLimit(query.limit, query.offset);
  uint64_t kept = 0;
  TAVIX_TRY(sortKeyRecords(records.data(), records.size(), plan.order, limit, kept));
  SortedRowWriter out(query, drop_repeats, *frame.writer);
  for (uint64_t i = 0; i < kept && !out.full(); ++i) TAVIX_TRY(out.take(records[i].row_text));
  return finishScanOutput(*frame.writer);
}

// The merge of the ORDER BY path, after every worker has ended. Heaps over
// several ranges hold the rows one heap over the whole input would hold only
// when the ORDER BY rule is a strict weak order on the keys' values; when a
// key mixes numbers and texts, `one_heap_needed` is set and nothing is
// written, and the caller offers every row to one heap in input order.
[[nodiscard]] Error mergeSortWorkers(const ParallelScanFrame& frame, const SortPathPlan& plan,
                                     std::span<ChunkWorker<SortWorkerLocal>> workers,
                                     bool& one_heap_needed) {
  TAVIX_TRY(firstWorkerError<ChunkWorker<SortWorkerLocal>>(workers));
  bool all_sorted = true;
  std::vector<uint8_t> kinds(plan.more_count + 1, 0);
  for (const ChunkWorker<SortWorkerLocal>& w : workers) {
    all_sorted = all_sorted && w.local.sorted;
    for (size_t k = 0; k < kinds.size() && k < w.local.key_kinds.size(); ++k)
      kinds[k] |= w.local.key_kinds[k];
  }
  if (plan.use_heap) {
    if (workers.size() > 1 && !keysAreUniform(kinds)) {
      one_heap_needed = true;
      return Error::ok;
    }
    return mergeSortHeaps(frame, plan, workers);
  }
  if (all_sorted && keysAreUniform(kinds)) return writeMergedRuns(frame, plan, workers);
  return sortGatheredRows(frame, plan, workers);
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
  // Gathered rows are rendered by the workers.
  plan.project = plan.project || query.distinct || !plan.use_heap;
  plan.form = rowFormOf(*frame.writer, JsonValues::strings);
  plan.filter_span = filterFieldSpan(query, *frame.map);
  plan.key_span = std::max(plan.key_span, plan.filter_span);
  bool one_heap_needed = false;
  auto scan = [&](ChunkWorker<SortWorkerLocal>& w) { return scanSortRange(frame, plan, w); };
  auto merge = [&](std::span<ChunkWorker<SortWorkerLocal>> workers) {
    return mergeSortWorkers(frame, plan, workers, one_heap_needed);
  };
  TAVIX_TRY(runChunkWorkers<SortWorkerLocal>(frame.plan, scan, merge));
  if (!one_heap_needed) return Error::ok;
  // A key mixes numbers and texts: the window is the one a single heap fed
  // in input order keeps, as on one processor, so the whole body is read
  // again as one range.
  ChunkPlan whole;
  TAVIX_TRY(whole.init(std::string_view(frame.data, frame.size), frame.data_start, 1,
                       frame.options->delimiter));
  return runChunkWorkers<SortWorkerLocal>(whole, scan, merge);
}

}  // namespace tavix
