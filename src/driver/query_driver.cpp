#include "driver/query_driver.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "driver/executor_choice.h"
#include "driver/join_staging.h"
#include "engine/csv/record_bound.h"
#include "exec/aggregate/global_aggregate.h"
#include "exec/group/group_by.h"
#include "exec/join/join.h"
#include "exec/scan/scan_executors.h"
#include "platform/temp_files.h"
#include "sql/condition_parser.h"
#include "sql/select_classify.h"
#include "sql/select_item.h"
#include "sql/statement_parser.h"

namespace tavix {

namespace {

// Standard input is copied to the spool in rounds of this size.
constexpr size_t kSpoolChunkBytes = 1 << 20;

// The result file: closed, then deleted by name, on every way out of the
// call.
class ResultFileOwner {
 public:
  ~ResultFileOwner() {
    file.reset();
    if (!path.empty()) TAVIX_IGNORE_ERROR(platform::deleteFile(path));
  }
  ResultFile result() const { return ResultFile{file.get()}; }

  platform::OwnedFile file;
  std::string path;
};

// Every table the statement names must be a regular file. A FIFO, socket,
// device or directory is refused here, before the call creates any file, so
// that nothing waits on it and nothing is left behind; the executors open
// their tables again by name and meet every other open failure (a missing
// file, say) in the order they always have.
Error refuseTablesThatAreNoFiles(const ParsedQuery& query, bool from_stdin) {
  auto check = [](const std::string& path) {
    platform::OwnedFile file;
    const Error e = platform::openForReading(path, file);
    return e == Error::IsDir || e == Error::Unseekable ? e : Error::ok;
  };
  if (!from_stdin) TAVIX_TRY(check(query.source));
  for (const JoinClause& join : query.joins) TAVIX_TRY(check(join.table));
  return Error::ok;
}

// Copies standard input into a nameless spool file and rewinds it. A
// record longer than the bound stops the copy with StreamTooLong: an endless
// line must not fill the disk.
Error spoolStandardInput(platform::OwnedFile& spool, char delimiter) {
  platform::File created;
  TAVIX_TRY(createTempFile("stdin_spool", created));
  spool.reset(created);
  // Standard input belongs to the process: borrowed, never closed here.
  platform::File input;
  TAVIX_TRY(platform::standardInput(input));
  std::unique_ptr<char[]> buffer(new char[kSpoolChunkBytes]);
  RecordLengthWatch records;
  records.delimiter = delimiter;
  for (;;) {
    size_t got = 0;
    TAVIX_TRY(platform::readSome(input, buffer.get(), kSpoolChunkBytes, got));
    if (got == 0) break;
    TAVIX_TRY(watchRecordLengths(records, buffer.get(), got));
    TAVIX_TRY(platform::writeAll(spool.get(), buffer.get(), got));
  }
  TAVIX_TRY(finishRecordLengths(records));
  return platform::seekTo(spool.get(), 0);
}

// Answers SELECT DISTINCT over plain columns as a GROUP BY over the select
// items' expressions (aliases removed, same order); the select items
// themselves, aliases included, stay as written.
Error runDistinctAsGroupBy(ParsedQuery& query, const ResultFile& result,
                           const QueryOptions& options, const PreopenedSource& source) {
  std::vector<std::string> keys;
  keys.reserve(query.select_items.size());
  for (const std::string& item : query.select_items)
    keys.emplace_back(splitSelectAlias(item).expression);
  std::swap(query.group_by, keys);
  query.distinct = false;
  Error e = runGroupByQuery(query, result, options, source);
  std::swap(query.group_by, keys);
  query.distinct = true;
  return e;
}

Error runScanExecutor(const ParsedQuery& query, const StatementShape& shape,
                      const ResultFile& result, const QueryOptions& options) {
  platform::OwnedFile file;
  TAVIX_TRY(platform::openForReading(query.source, file));
  const InputFile input{file.get()};
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(input.handle, size));
  switch (chooseExecutor(shape, size, platform::processorCount())) {
    case Executor::parallel_expr: return runParallelExprQuery(query, input, result, options);
    case Executor::parallel_mapped: return runParallelMappedQuery(query, input, result, options);
    case Executor::mapped: return runMappedQuery(query, input, result, options);
    default: return runStreamingQuery(query, input, result, options);
  }
}

Error runStdinExecutor(ParsedQuery& query, Executor executor, const ResultFile& result,
                       const QueryOptions& options) {
  platform::OwnedFile spool;
  TAVIX_TRY(spoolStandardInput(spool, options.delimiter));
  switch (executor) {
    case Executor::stdin_group_by:
      return runGroupByQuery(query, result, options, PreopenedSource{spool.get(), true});
    case Executor::stdin_global_aggregate:
      return runGlobalAggregateQuery(query, result, options, PreopenedSource{spool.get(), true});
    case Executor::stdin_sorted:
      return runStreamingQuery(query, InputFile{spool.get()}, result, options);
    case Executor::stdin_distinct_rewrite:
      return runDistinctAsGroupBy(query, result, options, PreopenedSource{spool.get(), true});
    default: return Error::MixedAggregateAndNonAggregateSelect;
  }
}

Error runChosenExecutor(ParsedQuery& query, const ResultFile& result,
                        const QueryOptions& options) {
  const StatementShape shape = describeStatement(query);
  const Executor executor = chooseExecutor(shape, 0, platform::processorCount());
  switch (executor) {
    case Executor::stdin_group_by:
    case Executor::stdin_global_aggregate:
    case Executor::stdin_sorted:
    case Executor::stdin_distinct_rewrite:
      return runStdinExecutor(query, executor, result, options);
    case Executor::refuse_mixed:
      // Over standard input the refusal comes after the input is spooled.
      if (shape.from_stdin) return runStdinExecutor(query, executor, result, options);
      return Error::MixedAggregateAndNonAggregateSelect;
    case Executor::refuse_stdin_join: return Error::Unsupported;
    case Executor::stdin_scan: return runStdinQuery(query, result, options);
    case Executor::join_staging: return runJoinAggregateStaging(query, result, options);
    case Executor::join: return runJoinQuery(query, result, options);
    case Executor::group_by: return runGroupByQuery(query, result, options, PreopenedSource{});
    case Executor::global_aggregate:
      return runGlobalAggregateQuery(query, result, options, PreopenedSource{});
    case Executor::distinct_rewrite:
      return runDistinctAsGroupBy(query, result, options, PreopenedSource{});
    case Executor::streaming:
    case Executor::mapped:
    case Executor::parallel_mapped:
    case Executor::parallel_expr: return runScanExecutor(query, shape, result, options);
  }
  return Error::Unexpected;
}

}  // namespace

Error runQuery(std::string_view sql, OutputFormat format, ReturnedText& out) {
  ParsedQuery query;
  TAVIX_TRY(parseQuery(sql, query));
  // Nothing evaluates a sub-query; refusing it beats a silent answer.
  if ((query.has_where && conditionHasSubquery(query.where)) ||
      (query.has_having && conditionHasSubquery(query.having)))
    return Error::SubqueriesNotSupported;

  QueryOptions options;
  options.output_format = format;

  TAVIX_TRY(refuseTablesThatAreNoFiles(query, describeStatement(query).from_stdin));
  ResultFileOwner result_file;
  platform::File created;
  TAVIX_TRY(createResultFile(created, result_file.path));
  result_file.file.reset(created);
  TAVIX_TRY(rewriteDatePart(query.select_items));
  TAVIX_TRY(rewriteDatePart(query.group_by));
  TAVIX_TRY(runChosenExecutor(query, result_file.result(), options));
  return readResultFile(result_file.file.get(), out);
}

void queryWorkerMain(void* raw) noexcept {
  auto* job = static_cast<QueryJob*>(raw);
  // The worker threads of every pass of this query, ended before it returns.
  platform::WorkerCrewScope crew;
  ReturnedText text;
  Error e;
  try {
    e = runQuery(std::string_view(job->sql_text, job->sql_len), job->output_format, text);
  } catch (const std::bad_alloc&) {
    e = Error::OutOfMemory;
  } catch (...) {
    e = Error::Unexpected;
  }
  if (e == Error::ok) {
    job->result = text.text;
    job->error = 0;
  } else {
    job->result = nullptr;
    job->error = static_cast<uint16_t>(e);
  }
}

}  // namespace tavix
