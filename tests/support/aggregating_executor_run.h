// A fixture for unit tests of the aggregating executors (whole-table and
// grouped), which take an input by path or pre-opened: `run` puts the input
// in a file, runs one statement through the given executor and returns the
// result text, or "error: " and the error's name.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/error.h"
#include "exec/executor.h"
#include "sql/parsed_query.h"
#include "sql/statement_parser.h"
#include "support/scratch_dir.h"

namespace tavix::testing {

// runGlobalAggregateQuery, runGroupByQuery.
using AggregatingExecutor = Error (*)(const ParsedQuery&, const ResultFile&, const QueryOptions&,
                                      PreopenedSource);

class AggregatingExecutorRun : public ScratchDir {
 protected:
  explicit AggregatingExecutorRun(AggregatingExecutor executor) : executor_(executor) {}

  // Runs `sql` over `input` ({IN} in `sql` stands for its path; with
  // `preopened` the executor is handed the open file instead, and must leave
  // it open).
  std::string run(const std::string& input, const std::string& sql, const QueryOptions& options,
                  bool preopened = false) {
    const std::string name = "in" + std::to_string(++runs_) + ".csv";
    const platform::File in = fileWith(name, input);
    std::string text = sql;
    const size_t at = text.find("{IN}");
    if (at != std::string::npos) text.replace(at, 4, path(name));
    ParsedQuery query;
    if (parseQuery(text, query) != Error::ok) return "parse error";
    const std::string out_name = "out" + std::to_string(runs_) + ".txt";
    const platform::File out = createFile(out_name);
    const PreopenedSource source = preopened ? PreopenedSource{in, true} : PreopenedSource{};
    const Error e = executor_(query, ResultFile{out}, options, source);
    if (preopened) {
      // The executor never closes a handle it was given.
      uint64_t size = 0;
      EXPECT_EQ(platform::fileSize(in, size), Error::ok);
      EXPECT_EQ(size, input.size());
    }
    if (e != Error::ok) return "error: " + std::string(errorName(e));
    return readBack(out_name);
  }

 private:
  AggregatingExecutor executor_;
  int runs_ = 0;
};

}  // namespace tavix::testing
