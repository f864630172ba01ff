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

#include "platform/platform.h"

namespace tavix {

enum class OutputFormat : uint8_t { csv = 0, json_array = 1, json_lines = 2 };

// Readers take the format modulo 4; 3 renders as JSON lines.
inline OutputFormat normalizedFormat(OutputFormat f) {
  const uint8_t v = static_cast<uint8_t>(f) & 3;
  return v == 3 ? OutputFormat::json_lines : static_cast<OutputFormat>(v);
}

struct QueryOptions {
  uint64_t thread_count = 0;  // 0: one worker per processor
  bool omit_header = false;   // no header row in the output
  char delimiter = ',';       // input and CSV output delimiter
  OutputFormat output_format = OutputFormat::csv;
  bool no_header_row = false;  // input has no header row; columns c1, c2, ...
  bool strict = false;  // a non-number under a numeric WHERE fails the query
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
