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
  Error error = Error::ok;
};

// Tests WHERE on one record and appends its rendered row to the worker's
// text when it passes.
[[nodiscard]] Error processExprRow(ExprWorkerContext& ctx, ArenaAllocator& row_arena,
                                   const FieldSlice* fields, size_t field_count,
                                   FieldSlice* values, BudgetShare& budget) {
  const ExprShared& shared = *ctx.shared;
  bool pass = false;
  TAVIX_TRY(shared.filter->test(fields, field_count, pass));
  if (!pass) return Error::ok;
  projectRow(*shared.columns, fields, field_count, row_arena, values);
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
  FieldSlice fields[kMaxRecordFields];
  std::vector<FieldSlice> values(shared.columns->size());
  ArenaAllocator scratch;
  ArenaAllocator row_arena;
  BudgetShare budget(shared.budget);
  for (;;) {
    if (shared.stop.shouldStop(ctx.range.index)) return Error::ok;
    FieldSlice line;
    bool got = false;
    TAVIX_TRY(reader.next(line, got));
    if (!got) return Error::ok;
    scratch.reset();
    size_t count = 0;
    TAVIX_TRY(splitRecordFields(line, shared.delimiter, fields, count, scratch));
    TAVIX_TRY(processExprRow(ctx, row_arena, fields, count, values.data(), budget));
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

  ExprShared shared;
  shared.input = input.handle;
  shared.columns = &columns;
  shared.filter = &filter;
  shared.format = normalizedFormat(options.output_format);
  shared.delimiter = options.delimiter;
  shared.json_keys = writerJsonKeys(writer);

  std::vector<ScanChunk> ranges;
  TAVIX_TRY(cutScanChunks(view.bytes(), header.data_start,
                          resolveWorkerCount(options.thread_count, size - header.data_start),
                          options.delimiter, ranges));
  std::vector<ExprWorkerContext> contexts(ranges.size());
  for (size_t i = 0; i < contexts.size(); ++i) {
    contexts[i].shared = &shared;
    contexts[i].range = ranges[i];
  }
  TAVIX_TRY(runWorkerThreads(contexts, exprWorkerMain, shared.stop));
  for (const ExprWorkerContext& ctx : contexts) TAVIX_TRY(ctx.error);

  std::vector<const TextBuffer*> texts;
  texts.reserve(contexts.size());
  for (const ExprWorkerContext& ctx : contexts) texts.push_back(&ctx.text);
  return writeOutputTexts(result, shared.format, texts);
}

}  // namespace tavix
