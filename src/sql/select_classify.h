// Select-list classification and the DATE_PART rewrite.
//
// Three text-level operations that the query driver uses to choose an
// executor (and the grouping executor uses again): whether one select item is
// an aggregate, whether a select list holds computed expressions that only
// some executors evaluate, and the rewrite of DATE_PART('part', x) into the
// STRFTIME call the expression evaluator knows. None of them parses an
// expression; they look at bytes. Pure and callable from any thread; the
// rewrite changes only the list it is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "sql/parsed_query.h"

namespace tavix {

// The sixteen names by which an aggregate is called, in their fixed order
// (the aggregate compiler maps each position to its kind). Matched against a
// call's name without regard to ASCII case.
inline constexpr std::string_view kAggregateKeywords[] = {
    "count",    "sum",     "avg",      "min", "max",        "group_concat", "string_agg", "median",
    "variance", "var_pop", "var_samp", "var", "stddev_pop", "stddev_samp",  "stddev",     "std",
};

// Returns whether a select item (alias allowed) is an aggregate: after any
// ROUND(..., n) wrappers are removed, either the name before the first "("
// is one of the aggregate names (count, sum, avg, min, max, group_concat,
// string_agg, median, variance, var_pop, var_samp, var, stddev_pop,
// stddev_samp, stddev, std), or the item is a CASE whose WHEN part calls
// one. `ROUND(sum(x), 2) AS total` is an aggregate.
bool isAggregateExpr(std::string_view item) noexcept;

// Returns whether the select list of `query` holds an item that only the
// expression-evaluating executors can answer: a CASE, an IS [NOT] NULL test,
// or a call of a function other than the aggregates and lower-case round.
bool selectHasScalarExprs(const ParsedQuery& query) noexcept;

// Rewrites the first DATE_PART('part', x) of every item into
// STRFTIME('<format>', x) for the parts year, month, day, hour, minute and
// second; other items stay as they are. Returns OutOfMemory when a new item
// cannot be built; the items rewritten before stay rewritten and the failing
// one stays unchanged.
[[nodiscard]] Error rewriteDatePart(std::vector<std::string>& items);

}  // namespace tavix
