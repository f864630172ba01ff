// The grouping executor: GROUP BY (with HAVING, ORDER BY, OFFSET, LIMIT), and
// SELECT DISTINCT over plain columns rewritten by the driver into a GROUP BY.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "exec/parallel/record_feed.h"
#include "sql/parsed_query.h"

namespace tavix {

// `source` is handled as by runGlobalAggregateQuery.
[[nodiscard]] Error runGroupByQuery(const ParsedQuery& query, const ResultFile& result,
                                    const QueryOptions& options, PreopenedSource source);

// The same over the records of `feed` (their WHERE already applied by the
// feed), named by its header text.
[[nodiscard]] Error runGroupByQuery(const ParsedQuery& query, const ResultFile& result,
                                    const QueryOptions& options, RecordFeed& feed);

}  // namespace tavix
