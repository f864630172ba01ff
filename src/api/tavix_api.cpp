// The library boundary: the three exported functions.
//
// Each query call runs the driver on a worker thread of its own with a
// 64 MiB stack and blocks until it ends; error codes become the text
// "error: " + name only here. Nothing escapes these functions: they are
// noexcept and allocate their error texts with malloc directly.
#include <cstring>
#include <string_view>

#include "common/error.h"
#include "driver/query_driver.h"
#include "platform/platform.h"
#include "tavix.h"

namespace tavix {
namespace {

struct QueryOutcome {
  char* result = nullptr;
  uint16_t error = 0;
};

QueryOutcome runQueryOnWorker(const char* sql, uint64_t len, OutputFormat format) noexcept {
  QueryJob job;
  job.sql_text = sql;
  job.sql_len = len;
  job.output_format = format;
  platform::Thread worker;
  Error started = platform::startThread(worker, platform::kQueryThreadStack, queryWorkerMain, &job);
  if (started == Error::OutOfMemory) return {nullptr, static_cast<uint16_t>(Error::OutOfMemory)};
  if (started != Error::ok) return {nullptr, static_cast<uint16_t>(Error::Unexpected)};
  platform::joinThread(worker);
  return {job.result, job.error};
}

// Builds "error: " + name as a returned text block; null when out of memory.
char* formatErrorText(std::string_view name) noexcept {
  static constexpr std::string_view kPrefix = "error: ";
  char* text = allocateReturnedText(kPrefix.size() + name.size());
  if (text == nullptr) return nullptr;
  std::memcpy(text, kPrefix.data(), kPrefix.size());
  std::memcpy(text + kPrefix.size(), name.data(), name.size());
  return text;
}

int runExport(const char* sql, char** out, OutputFormat format) noexcept {
  if (out == nullptr) return 2;
  QueryOutcome outcome;
  if (sql == nullptr) {
    outcome.error = static_cast<uint16_t>(Error::InvalidArgument);
  } else {
    outcome = runQueryOnWorker(sql, std::strlen(sql), format);
  }
  if (outcome.error == 0) {
    *out = outcome.result;
    return 0;
  }
  char* text = formatErrorText(errorName(outcome.error));
  if (text == nullptr) return 2;
  *out = text;
  return 1;
}

}  // namespace
}  // namespace tavix

extern "C" {

TAVIX_EXPORT int tavix_query_json(const char* sql, char** out) {
  return tavix::runExport(sql, out, tavix::OutputFormat::json_array);
}

TAVIX_EXPORT int tavix_query_csv(const char* sql, char** out) {
  return tavix::runExport(sql, out, tavix::OutputFormat::csv);
}

TAVIX_EXPORT void tavix_free(char* text) { tavix::freeReturnedText(text); }

}  // extern "C"
