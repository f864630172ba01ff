// The join executor: the FROM table hash-joined with every INNER JOIN table.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "sql/parsed_query.h"

namespace tavix {

// Opens `query.source` and every join table, joins them on the ON columns,
// applies WHERE and writes the joined rows (header unless omitted) into
// `output` from its current position; `output` is not closed.
[[nodiscard]] Error runJoinQuery(const ParsedQuery& query, const ResultFile& output,
                                 const QueryOptions& options);

}  // namespace tavix
