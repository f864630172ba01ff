// The two paths of runParallelMappedQuery behind one frame: the executor
// maps the file, reads the header, resolves the output columns and the
// WHERE, starts the result writer (CSV header row buffered) and cuts the body
// into ranges, then hands the frame to the ORDER BY path or to the unsorted
// path. Both run on the executor's thread and run their workers with
// `runChunkWorkers`; workers only read the frame.
#pragma once

#include "common/error.h"
#include "engine/csv/csv_header.h"
#include "engine/expr/row_filter.h"
#include "engine/output/result_writer.h"
#include "exec/executor.h"
#include "exec/parallel/chunk_workers.h"
#include "exec/scan/scan_pipeline.h"
#include "sql/parsed_query.h"

namespace tavix {

struct ParallelScanFrame {
  const ParsedQuery* query = nullptr;
  const QueryOptions* options = nullptr;
  const InputFile* input = nullptr;
  const ResultFile* result = nullptr;
  const char* data = nullptr;  // the mapped file
  uint64_t data_start = 0;     // where the records start, past the header
  uint64_t size = 0;           // the mapped file's size
  const ColumnIndexMap* map = nullptr;
  const OutputColumns* columns = nullptr;
  const RowFilter* filter = nullptr;
  // The workers' ranges, first cut at line ends; `runChunkWorkers` cuts them
  // exactly when a cut missed a record start.
  ChunkPlan plan;
  ResultWriter* writer = nullptr;
};

// ORDER BY: workers keep the matching records (a bounded heap per worker
// for a small LIMIT + OFFSET), the executor merges them in range order,
// sorts, re-splits and writes the kept lines of the window.
[[nodiscard]] Error runParallelSortedPath(ParallelScanFrame& frame);

// No ORDER BY: without LIMIT, OFFSET and DISTINCT workers render their rows
// into texts written in range order; otherwise they collect rows that the
// executor writes through the writer, dropping duplicates, skipping the
// OFFSET and stopping at the LIMIT.
[[nodiscard]] Error runParallelUnsortedPath(ParallelScanFrame& frame);

}  // namespace tavix
