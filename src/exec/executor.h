// The records every executor receives from the query driver.
//
// The driver builds one `QueryOptions` per call and passes it, with the
// parsed query and the `ResultFile`, to exactly one executor. The executor
// contract:
//   1. the parsed query and the options are only read;
//   2. on success the result file holds the complete answer and nothing else;
//   3. handles it is given (result file, input file, pre-opened input) are
//      never closed by the executor;
//   4. on failure the result file may hold a partial answer, which the driver
//      discards; the error code passes up unchanged;
//   5. everything else it acquired (mappings, readers, threads, memory) is
//      released before it returns.
#pragma once

#include <cstdint>

#include "engine/csv/csv_header.h"
#include "engine/output/answer_budget.h"
#include "engine/output/output_format.h"
#include "platform/platform.h"

namespace tavix {

// kMaxResultBytes (engine/output/answer_budget.h) bounds the answer the
// driver reads back; executors that hold rows before writing them may stop
// early once they pass it.

struct QueryOptions {
  uint64_t thread_count = 0;  // 0: one worker per processor
  bool omit_header = false;   // no header row in the output
  char delimiter = ',';       // input and CSV output delimiter
  OutputFormat output_format = OutputFormat::csv;
  bool no_header_row = false;  // input has no header row; columns c1, c2, ...
  bool strict = false;  // a non-number under a numeric WHERE fails the query

  CsvLayout csvLayout() const { return CsvLayout{delimiter, no_header_row}; }
};

// The open handle of the query's result file.
struct ResultFile {
  platform::File handle;
};

// The open input the driver hands to the scan executors that read a file.
struct InputFile {
  platform::File handle;
};

// An optional open input for the aggregating executors (the standard-input
// spool); absent means the executor opens `ParsedQuery.source` itself.
struct PreopenedSource {
  platform::File handle;
  bool present = false;
};

}  // namespace tavix
