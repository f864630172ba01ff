// Conditional aggregates: AGG(CASE WHEN <condition> THEN x ELSE y END) with
// AGG one of count, sum, avg, min and max. Per record the aggregate takes x
// when the condition holds and y otherwise (accumulators.h).
//
// `parseConditionalAggregate` recognises the shape and binds it to the
// input's columns: the condition becomes one comparison leaf on one column,
// x and y numeric operands (a number literal or a column read as a number).
// A text of any other shape is not conditional (`present` false) and the
// select-list compiler tries the other aggregate forms. Pure and reentrant.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "engine/csv/csv_header.h"
#include "engine/expr/row_predicates.h"
#include "exec/aggregate/aggregate_call.h"
#include "sql/parsed_query.h"

namespace tavix {

// The condition part of a conditional aggregate, as an aggregate spec keeps
// it.
struct ConditionalBlock {
  uint64_t condition_column = 0;  // column of the condition's leaf
  ComparisonLeaf condition;
  NumericOperand then_operand;
  NumericOperand else_operand;
};

struct ConditionalAggregate {
  ConditionalBlock block;
  AggregateKind kind = AggregateKind::count;  // count, sum, avg, min or max
  bool present = false;
};

// Parses one select item text (alias and ROUND wrapper already removed) as a
// conditional aggregate against `map`. The THEN and ELSE texts are a number
// (the number rule over the whole text) or else a column; the condition
// must parse as one comparison leaf (IN, BETWEEN, LIKE, IS NULL and the
// modulo test included) whose column is in `map`. Errors, in the order they
// are checked: ColumnNotFound for a THEN or ELSE text that is neither a
// number nor a column (checked before the name, so "median(CASE ... THEN zz
// ...)" fails too), the condition parser's errors, ColumnNotFound for the
// condition's column. Every other mismatch of shape, an AND/OR or NOT
// condition, or a name other than the five gives ok with `out.present`
// false. May throw std::bad_alloc.
[[nodiscard]] Error parseConditionalAggregate(std::string_view text, const ColumnIndexMap& map,
                                              ConditionalAggregate& out);

}  // namespace tavix
