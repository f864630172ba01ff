// runParallelExprQuery: computed select lists over one large file, without
// ORDER BY, DISTINCT, LIMIT or OFFSET, with worker threads.
//
// The file is mapped only to read the header and to cut the body into
// record-aligned ranges. Each `exprWorkerMain` reads its range with
// positioned reads through the descriptor the driver opened, tests WHERE,
// evaluates the select list with a per-row arena and renders its rows into
// its own text exactly as the result writer would write them. After every
// worker has ended, the texts are written in range order, so rows appear in
// file order. The WHERE test here never fails a row for strict mode: a field
// that is not a number under a numeric comparison drops the row.
#include <new>
#include <vector>

#include "engine/csv/csv_header.h"
#include "engine/csv/csv_records.h"
#include "engine/output/result_writer.h"
#include "engine/output/text_buffer.h"
#include "exec/scan/parallel_scan.h"
#include "exec/scan/scan_executors.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"

namespace tavix {

namespace {

// What every expression worker reads.
struct ExprShared {
  platform::File input;
  const OutputColumns* columns = nullptr;
  const RowFilter* filter = nullptr;
  OutputFormat format = OutputFormat::csv;
  char delimiter = ',';
  size_t filter_span = 0;  // leading fields the WHERE reads
  std::span<const FieldSlice> json_keys;
  AnswerBudget budget;
  WorkerStop stop;
};

// One worker. Filled before its thread starts, read by the executor after
// the thread has been joined.
struct ExprWorkerContext {
  ExprShared* shared = nullptr;
  ScanChunk range;
  TextBuffer text;
  bool stopped = false;   // left the range on a stop request
  bool ran_over = false;  // the last record ran past the range's end
  Error error = Error::ok;

  ChunkOutcome outcome() const noexcept {
    ChunkOutcome o;
    o.ended_early = error != Error::ok || stopped;
    o.ran_over = ran_over;
    o.depends_on_all = error == Error::FileTooBig;
    return o;
  }
};

// Tests WHERE on one record, cutting only the fields it reads, and appends
// its rendered row to the worker's text when it passes.
[[nodiscard]] Error processExprRow(ExprWorkerContext& ctx, RecordFields& record, size_t filter_span,
                                   ArenaAllocator& scratch, ArenaAllocator& row_arena,
                                   FieldSlice* values, BudgetShare& budget) {
  const ExprShared& shared = *ctx.shared;
  TAVIX_TRY(record.need(filter_span, scratch));
  bool pass = false;
  TAVIX_TRY(shared.filter->test(record.fields(), record.count(), pass));
  if (!pass) return Error::ok;
  TAVIX_TRY(record.need(kAllFields, scratch));
  projectRow(*shared.columns, record.fields(), record.count(), row_arena, values);
  const uint64_t before = ctx.text.len;
  TAVIX_TRY(appendOutputRow(ctx.text, shared.format, shared.delimiter, shared.json_keys,
                            std::span<const FieldSlice>(values, shared.columns->size())));
  if (!budget.add(ctx.text.len - before)) return Error::FileTooBig;
  return Error::ok;
}

Error scanExprRange(ExprWorkerContext& ctx) {
  ExprShared& shared = *ctx.shared;
  ChunkLineReader reader;
  TAVIX_TRY(reader.init(shared.input, ctx.range.start, ctx.range.end, shared.delimiter));
  RecordFields record;
  const size_t filter_span = shared.filter_span;
  std::vector<FieldSlice> values(shared.columns->size());
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  BudgetShare budget(shared.budget);
  for (;;) {
    if (shared.stop.shouldStop(ctx.range.index)) {
      ctx.stopped = true;
      return Error::ok;
    }
    FieldSlice line;
    bool got = false;
    bool quote_free = false;
    TAVIX_TRY(reader.next(line, got, quote_free));
    if (!got) {
      ctx.ran_over = reader.ranOver();
      return Error::ok;
    }
    record.reset(line, quote_free, shared.delimiter);
    TAVIX_TRY(processExprRow(ctx, record, filter_span, scratch, row_arena, values.data(), budget));
  }
}

// Thread body: renders the rows of one range; the outcome is the context's
// error and text. Touches only its context, its own memory and the shared
// counters.
void exprWorkerMain(void* arg) {
  ExprWorkerContext& ctx = *static_cast<ExprWorkerContext*>(arg);
  try {
    ctx.error = scanExprRange(ctx);
  } catch (const std::bad_alloc&) {
    ctx.error = Error::OutOfMemory;
  }
  if (ctx.error != Error::ok) ctx.shared->stop.requestAfter(ctx.range.index);
}

}  // namespace

Error runParallelExprQuery(const ParsedQuery& query, const InputFile& input,
                           const ResultFile& result, const QueryOptions& options) {
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(input.handle, size));
  if (size == 0) return Error::EmptyFile;
  platform::MappedView view;
  TAVIX_TRY(platform::mapFileReadOnly(input.handle, size, view));

  CsvHeader header;
  TAVIX_TRY(readCsvHeader(view.bytes(), options, header));
  ColumnIndexMap map;
  map.assign(header);
  OutputColumns columns;
  TAVIX_TRY(buildOutputColumns(query, header.names, map, columns));
  // Strict mode is not consulted here: a non-number under a numeric
  // comparison drops the row.
  RowFilter filter;
  TAVIX_TRY(filter.init(query, map, false));
  ResultWriter writer;
  initResultWriter(writer, result, options);
  TAVIX_TRY(setResultColumns(writer, columns.labels, options.omit_header));
  TAVIX_TRY(flushResultWriter(writer));

  // Ranges are first cut at line ends, which costs no pass over the file;
  // when a cut turns out not to fall on a record start, they are cut exactly
  // and the workers run again.
  const size_t worker_count = resolveWorkerCount(options.thread_count, size - header.data_start);
  std::vector<ScanChunk> ranges;
  TAVIX_TRY(cutChunksAtLineEnds(view.bytes(), header.data_start, worker_count, ranges));
  for (bool exact = false;; exact = true) {
    ExprShared shared;
    shared.input = input.handle;
    shared.columns = &columns;
    shared.filter = &filter;
    shared.filter_span = filterFieldSpan(query, map);
    shared.format = normalizedFormat(options.output_format);
    shared.delimiter = options.delimiter;
    shared.json_keys = writerJsonKeys(writer);

    std::vector<ExprWorkerContext> contexts(ranges.size());
    for (size_t i = 0; i < contexts.size(); ++i) {
      contexts[i].shared = &shared;
      contexts[i].range = ranges[i];
    }
    TAVIX_TRY(runWorkerThreads(contexts, exprWorkerMain, shared.stop));
    if (!exact &&
        !speculativeCutsHold(contexts.size(), [&](size_t i) { return contexts[i].outcome(); })) {
      TAVIX_TRY(cutScanChunks(view.bytes(), header.data_start, worker_count, options.delimiter, ranges));
      continue;
    }
    for (const ExprWorkerContext& ctx : contexts) TAVIX_TRY(ctx.error);

    std::vector<const TextBuffer*> texts;
    texts.reserve(contexts.size());
    for (const ExprWorkerContext& ctx : contexts) texts.push_back(&ctx.text);
    return writeOutputTexts(result, shared.format, texts);
  }
}

}  // namespace tavix
