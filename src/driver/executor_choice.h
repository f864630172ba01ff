// Which executor answers a statement.
//
// The choice is a pure function of the statement's shape, the input's size
// and the processor count, so that every threshold can be tested directly.
// The driver describes the parsed query once (`describeStatement`), asks
// `chooseExecutor` with size 0 and, when the answer is a scan executor, opens
// the input and asks again with its real size.
#pragma once

#include <cstdint>

#include "exec/parallel/chunk_workers.h"
#include "sql/parsed_query.h"

namespace tavix {

struct StatementShape {
  bool from_stdin = false;      // FROM is exactly "stdin" or "-"
  bool has_joins = false;
  bool any_aggregate = false;   // some select item is an aggregate (never with *)
  bool all_aggregates = false;  // every select item is an aggregate
  bool has_group_by = false;
  bool distinct = false;
  bool select_star = false;
  // The select list holds computed expressions by the classification the
  // grouping executor shares (decides the DISTINCT rewrite).
  bool scalar_exprs = false;
  // Some item is not a plain column reference with an optional alias, so
  // only an expression-capable scan executor can serve it (decides the scan
  // executor); implied by `scalar_exprs`.
  bool computed_select = false;
  bool has_order_by = false;
  size_t order_by_keys = 0;  // primary key plus extra keys
  int32_t limit = -1;
  int32_t offset = 0;
};

enum class Executor : uint8_t {
  stdin_group_by,          // spool standard input, then runGroupByQuery
  stdin_global_aggregate,  // spool standard input, then runGlobalAggregateQuery
  stdin_sorted,            // spool standard input, then runStreamingQuery
  stdin_distinct_rewrite,  // spool standard input, then the DISTINCT rewrite
  stdin_scan,              // runStdinQuery
  join_staging,            // join written to a staging file, re-queried
  join,                    // runJoinQuery
  group_by,                // runGroupByQuery
  global_aggregate,        // runGlobalAggregateQuery
  distinct_rewrite,        // SELECT DISTINCT over plain columns as a GROUP BY
  streaming,               // runStreamingQuery
  mapped,                  // runMappedQuery
  parallel_mapped,         // runParallelMappedQuery
  parallel_expr,           // runParallelExprQuery
  refuse_mixed,            // MixedAggregateAndNonAggregateSelect
  refuse_stdin_join,       // Unsupported: a join over standard input
};

// Files above this size are mapped (5 MiB) and, past kParallelMinBytes
// (10 MiB) with two or more processors, scanned by worker threads: below
// them one sequential pass is cheaper than setting up a mapping or threads.
inline constexpr uint64_t kMappedMinBytes = 5'242'881;

StatementShape describeStatement(const ParsedQuery& query);

// True for the executors that read a file the driver opens.
bool isFileScanExecutor(Executor e);

Executor chooseExecutor(const StatementShape& shape, uint64_t input_size, unsigned cpus);

}  // namespace tavix
