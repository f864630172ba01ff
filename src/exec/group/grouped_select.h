// The select list of a grouped statement, compiled into the aggregating
// executors' three lists (exec/aggregate/aggregate_select.h): one output item
// and one label per select item (per GROUP BY key under SELECT *), and one
// spec per aggregate.
//
// Aggregates compile as for the whole-table executor, except that a ROUND
// wrapper is taken off only around an aggregate. Plain items are resolved
// against the group keys: a column shows the part of the first plain column
// key on it (the empty text when no key reads the column), an item written
// as a strftime, substr or round key shows that key's part, and an
// expression tied to a column key is evaluated on the group's key row
// (group_key_row.h). Compiled once on the executor's thread; read-only
// afterwards.
#pragma once

#include <vector>

#include "common/error.h"
#include "engine/csv/csv_header.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/group/group_keys.h"
#include "sql/parsed_query.h"

namespace tavix {

// Compiles the select list into `out`. `header` holds the names as read;
// `keys` the compiled GROUP BY keys. Output items: source_column (index: input
// column), group_key (index: key position), key_expression (index: key
// position of the column key the expression is tied to), aggregate_value and
// aggregate_expression (index: spec position). Returns ColumnNotFound,
// ArithmeticExpressionsNotSupported (an item that is no aggregate, no column,
// no key text and no expression over a column key, holding '*' or '/') and
// the errors of the aggregate and expression compilers. May throw
// std::bad_alloc.
[[nodiscard]] Error compileGroupedSelectList(const ParsedQuery& query, const ColumnIndexMap& map,
                                             const CsvHeader& header,
                                             const std::vector<GroupKeySpec>& keys,
                                             AggregateSelectList& out);

}  // namespace tavix
