#include "exec/join/join.h"

#include <memory>

#include "engine/csv/csv_file_reader.h"
#include "engine/output/result_writer.h"
#include "exec/join/join_probe.h"
#include "exec/join/parallel_join.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"

namespace tavix {
namespace {

Error runJoin(const ParsedQuery& query, const ResultFile& output, const QueryOptions& options,
              const JoinColumnFilter* staging_columns) {
  // The FROM table stays open: its records are read after the planning.
  // It, the writer (a 1 MiB buffer) and the record cutter (256 slots) live
  // on the heap rather than in the frame.
  auto from = std::make_unique<JoinTable>();
  TAVIX_TRY(openJoinTable(query.source, options.delimiter, *from));
  const OwnedFieldList& header = from->header;

  auto plan = std::make_unique<JoinPlan>();
  JoinPlanRequest request;
  request.query = &query;
  request.options = &options;
  request.from_header = &header;
  request.staging_columns = staging_columns;
  TAVIX_TRY(buildJoinPlan(request, *plan));

  auto writer = std::make_unique<ResultWriter>();
  initResultWriter(*writer, output.handle, options.output_format, options.delimiter);
  TAVIX_TRY(setResultColumns(*writer, plan->output_names, options.omit_header));

  // Rows that leave as they are found, in CSV, can be probed by worker
  // threads over a large FROM file.
  const bool staging = staging_columns != nullptr;
  if (normalizedFormat(options.output_format) == OutputFormat::csv && !options.no_header_row &&
      plan->order_keys.empty() &&
      (staging || (query.limit < 0 && query.offset <= 0 && !query.distinct))) {
    ParallelJoinInput input;
    input.plan = plan.get();
    input.options = &options;
    input.from_file = from->file;
    input.writer = writer.get();
    input.output = output.handle;
    bool taken = false;
    const Error e = runParallelJoinProbe(input, taken);
    if (taken) return e;
  }

  JoinProbeContext context;
  context.plan = plan.get();
  context.output_row.resize(plan->selected_columns.size());
  context.writer = writer.get();
  // A staging pass writes every joined row: the second pass applies OFFSET
  // and LIMIT.
  if (staging_columns == nullptr) context.emission = UnsortedEmission(query, /*periodic_flush=*/true);
  context.delimiter = options.delimiter;
  DistinctRowSet distinct_rows;
  if (query.distinct && staging_columns == nullptr) context.distinct = &distinct_rows;
  std::unique_ptr<OrderedRows> ordered;
  if (!plan->order_keys.empty()) {
    ordered = std::make_unique<OrderedRows>();
    TAVIX_TRY(ordered->init(options, plan->output_names, plan->order_keys, query.limit, query.offset));
    context.ordered = ordered.get();
  }

  std::vector<FieldSlice> row(plan->columnCount());
  auto fields = std::make_unique<RecordFields>();
  ArenaAllocator scratch;
  Error e = Error::ok;
  // Without a header row the header record is the first FROM row.
  if (options.no_header_row) e = probeJoinFields(header.items.data(), header.count(), row.data(), context);
  while (e == Error::ok) {
    FieldSlice line;
    bool ended = false;
    TAVIX_TRY(readNextCsvRecordLine(from->reader, line, ended));
    if (ended) break;
    // An empty line (nothing, or only a CR, before its LF) holds no record.
    if (line.empty()) continue;
    e = probeJoinLine(line, *fields, scratch, row.data(), context);
  }
  if (e != Error::LimitReached) TAVIX_TRY(e);
  if (ordered) TAVIX_TRY(ordered->sortAndEmit(query.distinct, *writer));
  return finishScanOutput(*writer);
}

}  // namespace

Error runJoinQuery(const ParsedQuery& query, const ResultFile& output,
                   const QueryOptions& options) {
  return runJoin(query, output, options, nullptr);
}

Error runJoinStagingQuery(const ParsedQuery& query, const ResultFile& output,
                          const QueryOptions& options, const JoinColumnFilter& columns) {
  return runJoin(query, output, options, &columns);
}

}  // namespace tavix
