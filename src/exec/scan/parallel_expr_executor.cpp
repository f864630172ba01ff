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
  ChunkStatus status;

  ChunkOutcome outcome() const noexcept { return status.outcome(); }
};

// Tests WHERE on each record of the worker's range, cutting only the fields
// it reads, and appends the rendered row of each passing record to the
// worker's text.
Error scanExprRange(ExprWorkerContext& ctx) {
  const ExprShared& shared = *ctx.shared;
  RecordFields record;
  std::vector<FieldSlice> values(shared.columns->size());
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  BudgetShare budget(ctx.shared->budget);
  return forEachChunkLine(
      shared.input, ctx.range, shared.delimiter, shared.stop, ctx.status,
      [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
        record.reset(line, quote_free, shared.delimiter);
        bool pass = false;
        TAVIX_TRY(filterAndProject(record, shared.filter_span, *shared.filter, *shared.columns,
                                   scratch, row_arena, values.data(), pass));
        if (!pass) return Error::ok;
        const uint64_t before = ctx.text.len;
        TAVIX_TRY(appendOutputRow(ctx.text, shared.format, shared.delimiter, shared.json_keys,
                                  values));
        return budget.add(ctx.text.len - before) ? Error::ok : Error::FileTooBig;
      });
}

// Thread body: renders the rows of one range; the outcome is the context's
// status and text. Touches only its context, its own memory and the shared
// counters.
void exprWorkerMain(void* arg) {
  ExprWorkerContext& ctx = *static_cast<ExprWorkerContext*>(arg);
  runChunkWorker(ctx.status, ctx.shared->stop, ctx.range.index, [&] { return scanExprRange(ctx); });
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
  TAVIX_TRY(readCsvHeader(view.bytes(), options.csvLayout(), header));
  ColumnIndexMap map;
  map.assign(header);
  OutputColumns columns;
  TAVIX_TRY(buildOutputColumns(query, header.names, map, columns));
  // Strict mode is not consulted here: a non-number under a numeric
  // comparison drops the row.
  RowFilter filter;
  TAVIX_TRY(filter.init(query, map, false));
  ResultWriter writer;
  initResultWriter(writer, result.handle, options.output_format, options.delimiter);
  TAVIX_TRY(setResultColumns(writer, columns.labels, options.omit_header));
  TAVIX_TRY(flushResultWriter(writer));

  // Ranges are first cut at line ends, which costs no pass over the file;
  // when a cut turns out not to fall on a record start, they are cut exactly
  // and the workers run again.
  const size_t worker_count = resolveWorkerCount(options.thread_count, size - header.data_start);
  std::vector<ScanChunk> ranges;
  TAVIX_TRY(cutChunksAtLineEnds(view.bytes(), header.data_start, worker_count, ranges));
  bool exact = false;
  auto attempt = [&](bool& recut) -> Error {
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
    if (speculativeCutsMissed(exact, contexts)) {
      recut = true;
      return Error::ok;
    }
    for (const ExprWorkerContext& ctx : contexts) TAVIX_TRY(ctx.status.error);
    return writeWorkerTexts(result, shared.format, contexts);
  };
  return runWithExactRecut(attempt, [&] {
    exact = true;
    return cutScanChunks(view.bytes(), header.data_start, worker_count, options.delimiter, ranges);
  });
}

}  // namespace tavix
