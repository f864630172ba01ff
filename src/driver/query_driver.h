// The query driver: one statement from text to result text.
//
// `queryWorkerMain` is the body of the worker thread that every query call
// starts (src/api). It parses the statement, creates the result file,
// chooses exactly one executor, lets it write the complete answer into the
// result file, reads the file back and deletes it. Everything it creates
// (result file, input handle, standard-input spool) is released on every path
// out of the call. It runs on the per-call worker thread and shares nothing
// with other calls.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "exec/executor.h"
#include "driver/result_text.h"

namespace tavix {

// One query call's request and outcome; lives on the caller's stack.
struct QueryJob {
  const char* sql_text = nullptr;  // not owned, not copied
  uint64_t sql_len = 0;
  OutputFormat output_format = OutputFormat::csv;
  char* result = nullptr;  // set when `error` is 0: a returned text block
  uint16_t error = 0;
};

// Thread body: runs the driver for the QueryJob at `job`.
void queryWorkerMain(void* job) noexcept;

// The driver steps on the calling thread. On success `out` holds the result
// text in a returned text block.
[[nodiscard]] Error runQuery(std::string_view sql, OutputFormat format, ReturnedText& out);

}  // namespace tavix
