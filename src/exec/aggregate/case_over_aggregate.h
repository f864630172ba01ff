// CASE over an aggregate: "CASE WHEN SUM(amount) > 1000 THEN 'big' ELSE
// 'small' END". The aggregate inside the condition is accumulated like any
// other; the choice is made once per result row on its rendered text.
//
// `parseCaseOverAggregate` splits such an item into the aggregate call and a
// select expression in which the aggregate is the placeholder column
// "__agg0__": the item is rewritten into "CASE WHEN __agg0__ <op> <value>
// THEN <then> ELSE <else> END" and compiled by the select-expression compiler
// against a column list that holds only the placeholder, as column 0. At
// output time that expression is evaluated on a row whose only field is the
// aggregate's rendered text, so the comparison and the branches follow the
// rules of the row engine's CASE. Pure and reentrant.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "engine/expr/scalar_expr.h"
#include "exec/aggregate/aggregate_call.h"

namespace tavix {

// The placeholder column that stands for the aggregate's value.
inline constexpr std::string_view kAggregatePlaceholder = "__agg0__";

// A condition cut at its first comparison operator outside parentheses.
struct ComparisonSplit {
  std::string_view lhs;  // trimmed view into the text
  std::string_view op;   // one of kCaseComparisonOperators
  std::string_view rhs;  // trimmed view into the text
  bool found = false;
};

// Scans `text` from left to right with a depth counter ('(' adds one, ')'
// takes one, the depth may go negative; single quotes are not tracked) and
// cuts it at the first position of depth 0 where an operator of
// kCaseComparisonOperators matches, trying them in their order. Never fails.
ComparisonSplit splitAtComparison(std::string_view text) noexcept;

// Returns "CASE WHEN __agg0__ <op> <value> THEN <then_text> ELSE <else_text>
// END", the four texts inserted byte for byte. May throw std::bad_alloc.
std::string formatCaseOverAggregateText(std::string_view op, std::string_view value,
                                        std::string_view then_text, std::string_view else_text);

struct CaseOverAggregate {
  AggregateCall call;  // the aggregate on the left of the condition
  // The rewritten text; the expression's literals are views into it, so it
  // lives on the heap and moves with the expression.
  std::unique_ptr<const std::string> expr_text;
  ScalarExpr expr;  // kind case_when over column 0, the placeholder
  bool present = false;
};

// Parses a select item text (alias and ROUND wrapper removed) as a CASE over
// an aggregate: the CASE shape of splitCaseWhen, a condition whose left side
// (split by splitAtComparison) is exactly an aggregate call, and a rewrite
// that the select-expression compiler accepts (the value a quoted text or a
// number). Not recognised: ok with `out.present` false. Errors: the
// compiler's, e.g. ColumnNotFound for a branch that names a column (only the
// placeholder exists). May throw std::bad_alloc.
[[nodiscard]] Error parseCaseOverAggregate(std::string_view text, CaseOverAggregate& out);

}  // namespace tavix
