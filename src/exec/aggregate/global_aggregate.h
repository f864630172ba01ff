// The whole-table aggregating executor: a select list made only of aggregates
// answered with one result row.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "exec/parallel/record_feed.h"
#include "sql/parsed_query.h"

namespace tavix {

// Reads `source` (a present `PreopenedSource` is mapped from offset 0 and
// never closed; otherwise `query.source` is opened and closed here) and
// writes the header row (unless omitted) and the one result row.
[[nodiscard]] Error runGlobalAggregateQuery(const ParsedQuery& query, const ResultFile& result,
                                            const QueryOptions& options, PreopenedSource source);

// The same over the records of `feed` (their WHERE already applied by the
// feed), named by its header text.
[[nodiscard]] Error runGlobalAggregateQuery(const ParsedQuery& query, const ResultFile& result,
                                            const QueryOptions& options, RecordFeed& feed);

}  // namespace tavix
