// Joins that feed aggregates or GROUP BY. The join executor writes joined
// rows but cannot aggregate, and the aggregating executors read one table but
// cannot join, so such a statement runs in two passes: the join is written
// as CSV into a staging file, then the grouping or whole-table executor reads
// that file as its only table. Runs on the query thread.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "sql/parsed_query.h"

namespace tavix {

// Answers a join statement with aggregates or GROUP BY into `result`. The
// staging file is removed on every path out.
[[nodiscard]] Error runJoinAggregateStaging(const ParsedQuery& query, const ResultFile& result,
                                            const QueryOptions& options);

}  // namespace tavix
