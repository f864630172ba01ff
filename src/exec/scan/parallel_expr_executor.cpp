// runParallelExprQuery: computed select lists over one large file, without
// ORDER BY, DISTINCT, LIMIT or OFFSET, with worker threads.
//
// The file is mapped only to read the header and to cut the body into
// record-aligned ranges. Each worker reads its range with positioned reads
// through the descriptor the driver opened, tests WHERE, evaluates the
// select list with a per-row arena and renders its rows into its own text
// exactly as the result writer would write them. After every worker has
// ended, the texts are written in range order, so rows appear in file order.
// The WHERE test here never fails a row for strict mode: a field that is not
// a number under a numeric comparison drops the row.
#include <span>
#include <vector>

#include "engine/csv/field_access.h"
#include "engine/csv/mapped_input.h"
#include "engine/expr/row_filter.h"
#include "engine/output/result_writer.h"
#include "engine/output/text_buffer.h"
#include "exec/parallel/chunk_workers.h"
#include "exec/scan/scan_executors.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"

namespace tavix {

Error runParallelExprQuery(const ParsedQuery& query, const InputFile& input,
                           const ResultFile& result, const QueryOptions& options) {
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(input.handle, size));
  if (size == 0) return Error::EmptyFile;
  MappedCsv csv;
  TAVIX_TRY(openMappedCsv(input.handle, options.csvLayout(), csv));
  OutputColumns columns;
  TAVIX_TRY(buildOutputColumns(query, csv.header.names, csv.map, columns));
  // Strict mode is not consulted here: a non-number under a numeric
  // comparison drops the row.
  RowFilter filter;
  TAVIX_TRY(filter.init(query, csv.map, false));
  ResultWriter writer;
  initResultWriter(writer, result.handle, options.output_format, options.delimiter);
  TAVIX_TRY(setResultColumns(writer, columns.labels, options.omit_header));
  TAVIX_TRY(flushResultWriter(writer));

  ChunkPlan plan;
  TAVIX_TRY(plan.init(csv.bytes(), csv.header.data_start, options.thread_count, options.delimiter));
  const RowForm form = rowFormOf(writer);
  const size_t filter_span = filterFieldSpan(query, csv.map);
  const char delimiter = options.delimiter;

  struct Local {
    TextBuffer text;  // the rendered rows of the range
  };
  // Tests WHERE on each record of the range, cutting only the fields it
  // reads, and appends the rendered row of each passing record to the
  // worker's text.
  auto scan = [&](ChunkWorker<Local>& w) -> Error {
    RecordFields record;
    std::vector<FieldSlice> values(columns.size());
    ArenaAllocator scratch;
    ArenaAllocator row_arena;
    BudgetShare budget(w.budget());
    TextBuffer& text = w.local.text;
    return forEachChunkLine(input.handle, delimiter, w,
                            [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
                              record.reset(line, quote_free, delimiter);
                              bool pass = false;
                              TAVIX_TRY(filterAndProject(record, filter_span, filter, columns, scratch,
                                                         row_arena, values.data(), pass));
                              if (!pass) return Error::ok;
                              const uint64_t before = text.len;
                              TAVIX_TRY(appendRowToText(text, form, values));
                              return budget.add(text.len - before) ? Error::ok : Error::FileTooBig;
                            });
  };
  auto merge = [&](std::span<ChunkWorker<Local>> workers) -> Error {
    TAVIX_TRY(firstWorkerError<ChunkWorker<Local>>(workers));
    for (const ChunkWorker<Local>& w : workers) TAVIX_TRY(emitRenderedText(writer, w.local.text.view()));
    return finishScanOutput(writer);
  };
  return runChunkWorkers<Local>(plan, scan, merge);
}

}  // namespace tavix
