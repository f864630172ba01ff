#include "exec/join/join_feed.h"

#include <vector>

#include "engine/csv/csv_file_reader.h"
#include "engine/csv/field_access.h"
#include "engine/output/result_writer.h"
#include "exec/join/join_probe.h"
#include "exec/join/parallel_join.h"

namespace tavix {
namespace {

// The probe state of one loop over FROM records: its context (output row,
// the sink), the combined row, the record cutter (256 slots, on the heap)
// and the scratch arena.
struct FeedProbe {
  FeedProbe(const JoinPlan& plan, char delimiter, RecordSink& sink)
      : row(plan.columnCount()), fields(std::make_unique<RecordFields>()) {
    context.plan = &plan;
    context.output_row.resize(plan.selected_columns.size());
    context.sink = &sink;
    context.delimiter = delimiter;
  }

  JoinProbeContext context;
  std::vector<FieldSlice> row;
  std::unique_ptr<RecordFields> fields;
  ArenaAllocator scratch;
};

}  // namespace

Error JoinRecordFeed::open(const ParsedQuery& query, const QueryOptions& options,
                           const JoinColumnFilter& columns) {
  query_ = &query;
  options_ = &options;
  from_ = std::make_unique<JoinTable>();
  TAVIX_TRY(openJoinTable(query.source, options.delimiter, *from_));
  plan_ = std::make_unique<JoinPlan>();
  JoinPlanRequest request;
  request.query = &query;
  request.options = &options;
  request.from_header = &from_->header;
  request.staging_columns = &columns;
  TAVIX_TRY(buildJoinPlan(request, *plan_));
  TAVIX_TRY(platform::fileSize(from_->file, from_size_));

  plain_header_ = true;
  for (size_t i = 0; i < plan_->output_names.size(); ++i) {
    const FieldSlice name = plan_->output_names[i];
    if (csvNeedsQuotes(name, options.delimiter, CsvQuoting::comma_too)) plain_header_ = false;
    if (i > 0) header_text_ += options.delimiter;
    header_text_.append(name.data(), name.size());
  }
  header_text_ += '\n';
  return Error::ok;
}

uint64_t JoinRecordFeed::tagCount() const noexcept {
  return plan_->joinCount() == 1 ? plan_->key_maps[0].rows.size() : 0;
}

bool JoinRecordFeed::columnFollowsTag(size_t column) const noexcept {
  return plan_->joinCount() == 1 && column < plan_->selected_columns.size() &&
         plan_->selected_columns[column] >= plan_->fromColumnCount();
}

Error JoinRecordFeed::planRanges(ChunkPlan& plan, bool& ranged) {
  ranged = false;
  const QueryOptions& options = *options_;
  // Without a header row the header record is the first FROM row, which
  // only the sequential loop probes.
  if (options.no_header_row || from_size_ < kParallelJoinMinBytes) return Error::ok;
  if (platform::mapFileReadOnly(from_->file, from_size_, view_) != Error::ok) return Error::ok;
  const std::string_view data = view_.bytes();
  uint64_t data_start = 0;
  if (!findJoinDataStart(data, options.delimiter, data_start)) return Error::ok;
  if (resolveWorkerCount(options.thread_count, data.size() - data_start) < 2) return Error::ok;
  TAVIX_TRY(plan.init(data, data_start, options.thread_count, options.delimiter));
  ranged = true;
  return Error::ok;
}

Error JoinRecordFeed::feedAll(RecordSink& sink) {
  FeedProbe probe(*plan_, options_->delimiter, sink);
  const OwnedFieldList& header = from_->header;
  if (options_->no_header_row)
    TAVIX_TRY(probeJoinFields(header.items.data(), header.count(), probe.row.data(), probe.context));
  for (;;) {
    FieldSlice line;
    bool ended = false;
    TAVIX_TRY(readNextCsvRecordLine(from_->reader, line, ended));
    if (ended) return Error::ok;
    // An empty line (nothing, or only a CR, before its LF) holds no record.
    if (line.empty()) continue;
    TAVIX_TRY(probeJoinLine(line, *probe.fields, probe.scratch, probe.row.data(), probe.context));
  }
}

Error JoinRecordFeed::feedRange(ChunkWorkerBase& worker, RecordSink& sink) const {
  FeedProbe probe(*plan_, options_->delimiter, sink);
  return forEachChunkLine(from_->file, options_->delimiter, worker,
                          [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
                            return probeJoinLine(line, quote_free, *probe.fields, probe.scratch,
                                                 probe.row.data(), probe.context);
                          });
}

}  // namespace tavix
