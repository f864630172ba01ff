#include "exec/join/parallel_join.h"

#include <memory>
#include <span>
#include <vector>

#include "engine/csv/csv_records.h"
#include "engine/csv/field_access.h"
#include "exec/join/join_probe.h"
#include "exec/parallel/chunk_workers.h"
#include "platform/temp_files.h"

namespace tavix {
namespace {

// One worker: its scratch file and the CSV writer over it. The writer holds
// a 1 MiB buffer, so it lives on the heap.
struct JoinWorkerLocal {
  platform::OwnedFile file;
  std::unique_ptr<ResultWriter> writer;
};

using JoinWorker = ChunkWorker<JoinWorkerLocal>;

// Offset of the first byte after the header record: a byte-order mark
// skipped, the record's end found quote-aware, as the FROM table's reader
// found it. False when the header record is the whole file.
bool findDataStart(std::string_view data, char delimiter, uint64_t& start) noexcept {
  size_t header_start = 0;
  if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
      static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF)
    header_start = 3;
  const RecordEnd end = findRecordEnd(data.data(), data.size(), header_start, delimiter);
  if (!end.found) return false;
  start = end.position + 1;
  return true;
}

// Probes the records of one range into the worker's own scratch file.
Error probeRange(const ParallelJoinInput& input, JoinWorker& w) {
  const JoinPlan& plan = *input.plan;
  const char delimiter = input.options->delimiter;
  JoinWorkerLocal& local = w.local;
  platform::File created;
  TAVIX_TRY(createTempFile("join", created));
  local.file.reset(created);
  local.writer = std::make_unique<ResultWriter>();
  initResultWriter(*local.writer, local.file.get(), OutputFormat::csv, delimiter);

  JoinProbeContext context;
  context.plan = &plan;
  context.output_row.resize(plan.selected_columns.size());
  context.writer = local.writer.get();
  // Every row is written; the writer writes its file as its buffer fills.
  context.emission.flush_periodically = false;
  context.delimiter = delimiter;
  std::vector<FieldSlice> row(plan.columnCount());
  auto fields = std::make_unique<RecordFields>();
  ArenaAllocator scratch;
  TAVIX_TRY(forEachChunkLine(input.from_file, delimiter, w,
                             [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
                               return probeJoinLine(line, quote_free, *fields, scratch, row.data(),
                                                    context);
                             }));
  return flushResultWriter(*local.writer);
}

// After every worker has ended: the first error in range order fails the
// statement; otherwise the header row, then each worker's rows in range
// order.
Error mergeJoinWorkers(const ParallelJoinInput& input, std::span<JoinWorker> workers) {
  TAVIX_TRY(firstWorkerError<JoinWorker>(workers));
  ResultWriter& writer = *input.writer;
  TAVIX_TRY(flushResultWriter(writer));
  for (JoinWorker& w : workers) {
    TAVIX_TRY(platform::appendWholeFile(w.local.file.get(), input.output));
    w.local.file.reset();
  }
  return finishScanOutput(writer);
}

}  // namespace

Error runParallelJoinProbe(const ParallelJoinInput& input, bool& taken) {
  taken = false;
  const QueryOptions& options = *input.options;
  uint64_t size = 0;
  if (platform::fileSize(input.from_file, size) != Error::ok || size < kParallelJoinMinBytes)
    return Error::ok;
  platform::MappedView view;
  if (platform::mapFileReadOnly(input.from_file, size, view) != Error::ok) return Error::ok;
  const std::string_view data = view.bytes();
  uint64_t data_start = 0;
  if (!findDataStart(data, options.delimiter, data_start)) return Error::ok;
  if (resolveWorkerCount(options.thread_count, data.size() - data_start) < 2) return Error::ok;

  taken = true;
  // The mapping only serves the cuts: the workers read their ranges by
  // positioned reads, so the scan faults in no page of it.
  ChunkPlan plan;
  TAVIX_TRY(plan.init(data, data_start, options.thread_count, options.delimiter));
  return runChunkWorkers<JoinWorkerLocal>(
      plan, [&](JoinWorker& w) { return probeRange(input, w); },
      [&](std::span<JoinWorker> workers) { return mergeJoinWorkers(input, workers); });
}

}  // namespace tavix
