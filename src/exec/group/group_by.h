// The grouping executor: GROUP BY (with HAVING, ORDER BY, OFFSET, LIMIT), and
// SELECT DISTINCT over plain columns rewritten by the driver into a GROUP BY.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "sql/parsed_query.h"

namespace tavix {

// `source` is handled as by runGlobalAggregateQuery.
[[nodiscard]] Error runGroupByQuery(const ParsedQuery& query, const ResultFile& result,
                                    const QueryOptions& options, PreopenedSource source);

}  // namespace tavix
