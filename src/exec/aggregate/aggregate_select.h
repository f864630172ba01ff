// The compiled select list of the aggregating executors.
//
// Three lists that everything after the compile reads: the `AggregateSpec`
// list (one entry per aggregate to accumulate), the `AggregateOutputItem`
// list (one entry per output column: what it shows) and the labels (one per
// output column: its name in the result). Every aggregate item gets its own
// spec, in select order; nothing merges equal items.
//
// An item is tried, in this order, as a conditional aggregate
// (conditional_aggregate.h) or a CASE over an aggregate
// (case_over_aggregate.h) when its text contains "case", then as a plain
// aggregate call (aggregate_call.h). `compileAggregateItem` is that step
// alone, shared by the whole-table and the grouping compilers; what a text
// that is no aggregate becomes is each compiler's own rule.
//
// The lists are built on the executor's thread and are read-only afterwards;
// worker threads may then read them at once. They own everything they hold.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_header.h"
#include "engine/expr/number_text.h"
#include "engine/expr/scalar_expr.h"
#include "exec/aggregate/aggregate_call.h"
#include "exec/aggregate/conditional_aggregate.h"

namespace tavix {

// One aggregate to accumulate.
struct AggregateSpec {
  uint64_t column = 0;      // the argument's input column, when `has_column`
  bool has_column = false;  // false: count(*), any "*" argument, every conditional aggregate
  std::string label;        // the aggregate's name text
  ConditionalBlock case_block;  // when `has_case`
  bool has_case = false;        // each record contributes the THEN or ELSE operand
  std::string separator = ",";  // group_concat's separator
  AggregateKind kind = AggregateKind::count;
  OutputPrecision precision;
};

enum class OutputItemKind : uint8_t {
  source_column = 0,         // an input column (the whole-table executor shows the empty text)
  group_key = 1,             // a group-key part (grouping executor)
  aggregate_value = 2,       // the rendered text of spec `index`
  key_expression = 3,        // `expr` over a key part (grouping executor)
  aggregate_expression = 4,  // `expr` over the rendered text of spec `index`
};

struct AggregateOutputItem {
  // The input column (source_column), the aggregate spec position (aggregate_value,
  // aggregate_expression) or the key part (group_key, key_expression).
  uint64_t index = 0;
  // The text `expr`'s literals view, when the compile made it (a rewritten
  // CASE over an aggregate); otherwise `expr` views the select item.
  std::unique_ptr<const std::string> expr_text;
  ScalarExpr expr;  // key_expression and aggregate_expression only
  OutputItemKind kind = OutputItemKind::source_column;
};

struct AggregateSelectList {
  std::vector<AggregateSpec> specs;
  std::vector<AggregateOutputItem> items;
  std::vector<std::string> labels;  // one per item

  // The labels as views, for the result writer.
  std::vector<FieldSlice> labelViews() const;
};

// One select item as the aggregate step sees it.
struct AggregateItemText {
  std::string_view expression;  // the item without its alias
  std::string_view text;        // the expression without its ROUND wrapper (or all of it)
  std::string_view alias;
  bool has_alias = false;
  OutputPrecision precision;  // {n, true} when a ROUND(..., n) wrapper was taken off
};

// Resolves an aggregate call's argument into `spec`: no column for "*",
// else the column text looked up after ASCII lower-casing (no trimming).
// Returns ColumnNotFound when no header has that name, whatever the text.
[[nodiscard]] Error resolveAggregateColumn(const AggregateCall& call, const ColumnIndexMap& map,
                                           AggregateSpec& spec);

// The AggregateSpec of a plain aggregate call: its resolved column, its text as the
// label, its separator and kind, the given precision. Returns
// ColumnNotFound as resolveAggregateColumn.
[[nodiscard]] Error makeAggregateSpec(AggregateCall&& call, const ColumnIndexMap& map,
                                      OutputPrecision precision, AggregateSpec& spec);

// Compiles `item` when it is an aggregate: appends its spec, its output
// item and its label to `list` and sets `compiled`. Labels: the alias when
// there is one; otherwise the call's text for a plain aggregate, the whole
// expression for one inside ROUND, the text without the wrapper for a
// conditional aggregate or a CASE over an aggregate. A CASE over an
// aggregate ignores the ROUND digits. When the item is none of the three
// forms nothing is appended and `compiled` is false. Returns the parsers'
// errors and ColumnNotFound for an aggregate argument that names no column.
// May throw std::bad_alloc.
[[nodiscard]] Error compileAggregateItem(const AggregateItemText& item, const ColumnIndexMap& map,
                                         AggregateSelectList& list, bool& compiled);

// Compiles the select list of the whole-table executor: every item by
// compileAggregateItem (after the alias split and the ROUND unwrap); an item
// that is no aggregate is a plain column (looked up after ASCII
// lower-casing), shown as the empty text and labelled with the alias or the
// trimmed header name. `header_names` are the names as read. Returns the
// first failing item's error; a plain item that names no column is
// ArithmeticExpressionsNotSupported when it holds '*' or '/', else
// ColumnNotFound. May throw std::bad_alloc.
[[nodiscard]] Error compileAggregateSelectList(std::span<const std::string> select_items,
                                               const ColumnIndexMap& map,
                                               std::span<const FieldSlice> header_names,
                                               AggregateSelectList& list);

}  // namespace tavix
