// The two paths of runParallelMappedQuery behind one frame: the executor
// maps the file, reads the header, resolves the plain output columns and the
// WHERE, starts the result writer (CSV header row buffered) and cuts the body
// into chunks, then hands the frame to the ORDER BY path or to the unsorted
// path. Both run on the executor's thread and start and join their own
// workers; workers only read the frame.
#pragma once

#include <vector>

#include "common/error.h"
#include "exec/executor.h"
#include "engine/csv/csv_header.h"
#include "engine/output/result_writer.h"
#include "exec/scan/parallel_scan.h"
#include "exec/scan/scan_pipeline.h"
#include "sql/parsed_query.h"

namespace tavix {

struct ParallelScanFrame {
  const ParsedQuery* query = nullptr;
  const QueryOptions* options = nullptr;
  const InputFile* input = nullptr;
  const ResultFile* result = nullptr;
  const char* data = nullptr;  // the mapped file
  uint64_t size = 0;
  const CsvHeader* header = nullptr;
  const ColumnIndexMap* map = nullptr;
  const OutputColumns* columns = nullptr;
  const RowFilter* filter = nullptr;
  std::vector<ScanChunk> chunks;
  // False while the chunks are cut at line ends only (`cutChunksAtLineEnds`):
  // each path then checks the workers' outcomes and, when a cut did not fall
  // on a record start, calls `cutChunksExactly` and runs its workers again.
  bool chunks_exact = false;
  uint64_t data_start = 0;
  size_t worker_count = 0;
  ResultWriter* writer = nullptr;
};

// Replaces the frame's chunks by chunks cut on true record boundaries.
// Returns OutOfMemory.
[[nodiscard]] Error cutChunksExactly(ParallelScanFrame& frame);

// ORDER BY: workers keep the matching records (a bounded heap per worker
// for a small LIMIT), the executor merges them in chunk order, sorts,
// re-splits and writes the kept lines.
[[nodiscard]] Error runParallelSortedPath(ParallelScanFrame& frame);

// No ORDER BY: without LIMIT and DISTINCT workers render their rows into
// texts written in chunk order; otherwise they collect rows that the
// executor writes through the writer, dropping duplicates and stopping at
// the LIMIT.
[[nodiscard]] Error runParallelUnsortedPath(ParallelScanFrame& frame);

}  // namespace tavix
