// The executors for statements without aggregates, joins or GROUP BY.
//
// Each answers the whole statement into the result file and keeps the
// executor contract of exec/executor.h. All run on the query worker
// thread; the parallel ones start and join their own workers before they
// return.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "sql/parsed_query.h"

namespace tavix {

// Returns true when some select item is one the plain-column executors
// cannot serve: an item whose expression part (the item without its alias)
// the select-expression compiler accepts as an expression, whatever the
// header, or fails to compile. Items that are neither (a column name, with or
// without an alias) stay with the plain-column executors. Never fails.
bool selectNeedsExpressionExecutor(const ParsedQuery& query);

// Small files (and every shape the faster executors do not take): streams the
// input through the buffered reader.
[[nodiscard]] Error runStreamingQuery(const ParsedQuery& query, const InputFile& input,
                                      const ResultFile& result, const QueryOptions& options);

// Any select list over a file of more than 5 MiB, from one read-only mapping.
[[nodiscard]] Error runMappedQuery(const ParsedQuery& query, const InputFile& input,
                                   const ResultFile& result, const QueryOptions& options);

// Any select list over a file of more than 10 MiB, with worker threads over
// line-aligned ranges of one mapping.
[[nodiscard]] Error runParallelMappedQuery(const ParsedQuery& query, const InputFile& input,
                                           const ResultFile& result, const QueryOptions& options);

// Computed select lists over a file of more than 10 MiB written whole in
// file order, with worker threads reading their ranges by positioned reads.
[[nodiscard]] Error runParallelExprQuery(const ParsedQuery& query, const InputFile& input,
                                         const ResultFile& result, const QueryOptions& options);

// Statements over standard input without aggregates or GROUP BY.
[[nodiscard]] Error runStdinQuery(const ParsedQuery& query, const ResultFile& result,
                                  const QueryOptions& options);

}  // namespace tavix
