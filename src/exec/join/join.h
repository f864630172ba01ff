// The join executor: the FROM table hash-joined with every INNER JOIN table.
//
// Every joined table is read whole, once, into a key map (exec/join/
// join_plan.h); the FROM table is then streamed through the buffered reader
// and each record probed through the maps, one join level after the other
// (exec/join/join_probe.h); an empty line (nothing, or only a CR) holds no
// record, on either side. Rows leave in FROM file order, and for one FROM
// record in nested order: the first join's build rows outermost, each in its
// table's file order. WHERE is tested on complete combined rows; DISTINCT
// and ORDER BY use the scan pipeline's row set and sorter; OFFSET and LIMIT
// count rows that passed, and LIMIT ends the reading early when nothing is
// sorted.
//
// A statement whose rows leave as they are found, in CSV, over a FROM file
// of 8 MiB and more is probed by worker threads instead, with the same
// answer (exec/join/parallel_join.h).
//
// Runs on the query thread and keeps the executor contract of
// exec/executor.h; the plan, readers and maps are released on every exit.
#pragma once

#include "common/error.h"
#include "exec/executor.h"
#include "exec/join/join_plan.h"
#include "sql/parsed_query.h"

namespace tavix {

// Opens `query.source` and every join table, joins them on the ON columns,
// applies WHERE, DISTINCT, ORDER BY, OFFSET and LIMIT and writes the joined
// rows (header unless omitted) into `output` from its current position;
// `output` is not closed. Select items are column references only: a plain
// name (the first column bearing it; two or more bearers are ambiguous) or
// alias "." name.
[[nodiscard]] Error runJoinQuery(const ParsedQuery& query, const ResultFile& output,
                                 const QueryOptions& options);

// The join pass of a statement answered in two passes: writes the joined
// rows that pass WHERE, as for SELECT *, but only the combined columns whose
// lower-cased header name `columns` accepts (at least two: the first
// columns not accepted make up the number), with their names as the header
// row, in the options' format. Ignores the select list, DISTINCT, ORDER BY,
// OFFSET and LIMIT. Fails with TooManyColumns for more than 256 columns,
// which a second pass could not read whole.
[[nodiscard]] Error runJoinStagingQuery(const ParsedQuery& query, const ResultFile& output,
                                        const QueryOptions& options,
                                        const JoinColumnFilter& columns);

}  // namespace tavix
