// runParallelMappedQuery: plain columns over one large file, scanned by
// worker threads over record-aligned chunks of one read-only mapping. This
// file holds the shared frame and the ORDER BY path; the unsorted path is in
// parallel_unsorted_path.cpp.
//
// ORDER BY path: each `sortWorkerMain` tests WHERE on the records of its
// chunk and keeps, per matching record, its sort value and its raw line (a
// view into the mapping): all of them, or only the best k in a `TopNHeap`
// when the statement has a LIMIT of at most kTopNMaxRows and no DISTINCT.
// After joining, the executor appends the workers' records in chunk order,
// so the merged array is in input order and the sort breaks ties by input
// position, then splits each kept line again, projects it and writes it.
#include <new>
#include <optional>
#include <vector>

#include "engine/csv/csv_records.h"
#include "exec/scan/parallel_mapped_paths.h"
#include "exec/scan/scan_executors.h"
#include "exec/sort/row_sorter.h"
#include "platform/platform.h"

namespace tavix {

Error runParallelMappedQuery(const ParsedQuery& query, const InputFile& input,
                             const ResultFile& result, const QueryOptions& options) {
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(input.handle, size));
  platform::MappedView view;
  TAVIX_TRY(platform::mapFileReadOnly(input.handle, size, view));

  CsvHeader header;
  TAVIX_TRY(readCsvHeader(view.bytes(), options, header));
  ColumnIndexMap map;
  map.assign(header);
  OutputColumns columns;
  TAVIX_TRY(buildPlainOutputColumns(query, header, map, columns));
  ResultWriter writer;
  initResultWriter(writer, result, options);
  TAVIX_TRY(setResultColumns(writer, columns.labels, options.omit_header));
  RowFilter filter;
  TAVIX_TRY(filter.init(query, map, options.strict));

  ParallelScanFrame frame;
  frame.query = &query;
  frame.options = &options;
  frame.input = &input;
  frame.result = &result;
  frame.data = view.data();
  frame.size = size;
  frame.header = &header;
  frame.map = &map;
  frame.columns = &columns;
  frame.filter = &filter;
  frame.writer = &writer;
  const uint64_t body = size - header.data_start;
  TAVIX_TRY(cutScanChunks(view.bytes(), header.data_start,
                          resolveWorkerCount(options.thread_count, body), options.delimiter,
                          frame.chunks));
  if (query.has_order_by) return runParallelSortedPath(frame);
  return runParallelUnsortedPath(frame);
}

namespace {

// What every sort worker reads.
struct SortPathShared {
  const ParallelScanFrame* frame = nullptr;
  uint64_t sort_column = 0;
  bool use_heap = false;   // LIMIT k <= kTopNMaxRows without DISTINCT
  bool count_answer = false;  // no LIMIT: every kept record is in the answer
  AnswerBudget budget;
  WorkerStop stop;
};

// One worker of the ORDER BY path. Filled before its thread starts, read by
// the executor after the thread has been joined.
struct SortWorkerContext {
  SortPathShared* shared = nullptr;
  ScanChunk chunk;
  TopNHeap heap;                       // use_heap
  std::vector<SortKeyRecord> entries;  // otherwise
  // Sort values that were unescaped: they live until the executor returns.
  ArenaAllocator kept_texts;
  // The worker's own DISTINCT rows: a record repeating an earlier record of
  // the same chunk can only repeat a row the executor writes anyway.
  DistinctRowSet distinct_rows;
  Error error = Error::ok;
};

// True when `text` lies inside `line` (a view into the mapping) rather than
// in the record's scratch arena.
inline bool viewsInto(FieldSlice text, FieldSlice line) noexcept {
  return text.data() >= line.data() && text.data() + text.size() <= line.data() + line.size();
}

Error scanSortChunk(SortWorkerContext& ctx) {
  const SortPathShared& shared = *ctx.shared;
  const ParallelScanFrame& frame = *shared.frame;
  const ParsedQuery& query = *frame.query;
  const OutputColumns& columns = *frame.columns;
  const char delimiter = frame.options->delimiter;
  const uint64_t index = ctx.chunk.index;
  FieldSlice fields[kMaxRecordFields];
  std::vector<FieldSlice> values(columns.size());
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  BudgetShare budget(ctx.shared->budget);
  uint64_t own_answer_bytes = 0;

  return forEachMappedLine(
      frame.data, ctx.chunk.start, ctx.chunk.end, delimiter, [&](FieldSlice line, bool& stop) -> Error {
        if (shared.stop.shouldStop(index)) {
          stop = true;
          return Error::ok;
        }
        scratch.reset();
        size_t count = 0;
        TAVIX_TRY(splitRecordFields(line, delimiter, fields, count, scratch));
        bool pass = false;
        TAVIX_TRY(frame.filter->test(fields, count, pass));
        if (!pass) return Error::ok;
        if (query.distinct || shared.count_answer) {
          projectRow(columns, fields, count, row_arena, values.data());
        }
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(ctx.distinct_rows.insertRow(values, fresh));
          if (!fresh) return Error::ok;
        }
        FieldSlice key = shared.sort_column < count ? fields[shared.sort_column] : FieldSlice();
        if (!key.empty() && !viewsInto(key, line)) {
          Allocator kept = ctx.kept_texts.allocator();
          if (!kept.copyText(key, key)) return Error::OutOfMemory;
        }
        const SortKeyRecord record = makeSortKeyRecord(key, line);
        if (shared.use_heap) {
          offerToTopNHeap(ctx.heap, record);
          return Error::ok;
        }
        ctx.entries.push_back(record);
        if (shared.count_answer) {
          // Without LIMIT every kept record is written: stop as soon as the
          // answer is sure to pass the bound. With DISTINCT only this
          // worker's own rows are known to be distinct answer rows.
          const uint64_t bytes = minimumRenderedBytes(values);
          own_answer_bytes += bytes;
          const bool within = query.distinct ? AnswerBudget::withinLimit(own_answer_bytes) : budget.add(bytes);
          if (!within) return Error::FileTooBig;
        }
        return Error::ok;
      });
}

// Thread body of the ORDER BY path: scans one chunk; the outcome is the
// context's error, heap and entries. Touches only its context, its own
// memory and the shared counters.
void sortWorkerMain(void* arg) {
  SortWorkerContext& ctx = *static_cast<SortWorkerContext*>(arg);
  try {
    ctx.error = scanSortChunk(ctx);
  } catch (const std::bad_alloc&) {
    ctx.error = Error::OutOfMemory;
  }
  if (ctx.error != Error::ok) ctx.shared->stop.requestAfter(ctx.chunk.index);
}

// The source column the single ORDER BY key names: the column of an output
// column (by position, label or header name), else any header column.
[[nodiscard]] Error resolveSortColumn(const ParallelScanFrame& frame, uint64_t& column) {
  const std::string& key = frame.query->order_by.primary_column;
  const OutputColumns& columns = *frame.columns;
  uint64_t index = 0;
  bool found = false;
  TAVIX_TRY(resolveOrderByColumn(key, columns.labels, columns.specs,
                                 frame.map->loweredNameSlices(), index, found));
  if (found) {
    column = columns.specs[index].column;
    return Error::ok;
  }
  const std::optional<size_t> header_column = frame.map->find(key);
  if (!header_column) return Error::OrderByColumnNotFound;
  column = *header_column;
  return Error::ok;
}

}  // namespace

Error runParallelSortedPath(ParallelScanFrame& frame) {
  const ParsedQuery& query = *frame.query;
  const QueryOptions& options = *frame.options;
  const bool descending = query.order_by.primary_descending;

  SortPathShared shared;
  shared.frame = &frame;
  TAVIX_TRY(resolveSortColumn(frame, shared.sort_column));
  shared.use_heap = query.limit >= 0 && !query.distinct &&
                    static_cast<uint64_t>(query.limit) <= kTopNMaxRows;
  shared.count_answer = query.limit < 0;

  std::vector<SortWorkerContext> contexts(frame.chunks.size());
  for (size_t i = 0; i < contexts.size(); ++i) {
    contexts[i].shared = &shared;
    contexts[i].chunk = frame.chunks[i];
    if (shared.use_heap) TAVIX_TRY(contexts[i].heap.init(static_cast<uint64_t>(query.limit), descending));
  }
  TAVIX_TRY(runWorkerThreads(contexts, sortWorkerMain, shared.stop));
  for (const SortWorkerContext& ctx : contexts) TAVIX_TRY(ctx.error);

  uint64_t n = 0;
  for (const SortWorkerContext& ctx : contexts) n += shared.use_heap ? ctx.heap.size() : ctx.entries.size();
  std::vector<SortKeyRecord> records(n);
  uint64_t filled = 0;
  for (SortWorkerContext& ctx : contexts) {
    if (shared.use_heap) {
      filled += ctx.heap.takeInInputOrder(records.data() + filled);
    } else {
      std::copy(ctx.entries.begin(), ctx.entries.end(), records.begin() + static_cast<ptrdiff_t>(filled));
      filled += ctx.entries.size();
      std::vector<SortKeyRecord>().swap(ctx.entries);
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
    TAVIX_TRY(writeResultRow(*frame.writer, values));
    ++written;
  }
  return finishScanOutput(*frame.writer);
}

}  // namespace tavix
