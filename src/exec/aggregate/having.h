// HAVING: a condition tested on each result row (a group's, or the one row of
// a whole-table aggregate) after it has been rendered, by name rather than by
// input column.
//
// Every comparison leaf names the value it tests; the name is looked up in a
// `NamedValueMap` (engine/expr/named_condition.h) bound, per row, from three
// sources in this order of precedence: the output labels, the select
// expressions, and hidden aggregates, which the condition names but the
// select list does not compute and which are accumulated as extra specs
// after the select list's own.
//
// `compileHaving` runs once, on the executor's thread, after the select list
// is compiled and before any record is read; `bindHavingValues` runs per
// result row on the thread that renders it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_header.h"
#include "engine/expr/named_condition.h"
#include "exec/aggregate/aggregate_select.h"
#include "sql/parsed_query.h"

namespace tavix {

// An aggregate added for HAVING alone.
struct HiddenAggregate {
  uint64_t spec_index = 0;  // position of its aggregate spec in the list
  std::string name;         // the leaf's column text that named it (lower-case)
};

// Longest select expression that a HAVING name is compared with; a longer
// one never matches, so its aggregate is accumulated a second time as a
// hidden one.
inline constexpr size_t kMaxHavingExpressionBytes = 256;

// Prepares the statement's HAVING (nothing without one). Refuses, with
// UnsupportedHavingComparesTwoAggregates, a comparison leaf whose value is no
// number and is a text that starts with a letter or '_' and holds a '(' (as
// in "sum(a) > sum(b)"), checked over every leaf before anything is made.
// Then, for each comparison leaf in tree order whose name is neither a
// select expression (lower-cased, as the alias split gives it) nor the name
// of an earlier hidden aggregate, and is an aggregate call: appends its spec
// to `list.specs` and a `HiddenAggregate` to `hidden`. Date-function leaves
// take no part. Returns ColumnNotFound when such an aggregate's argument
// names no column. May throw std::bad_alloc.
[[nodiscard]] Error compileHaving(const ParsedQuery& query, const ColumnIndexMap& map,
                                  AggregateSelectList& list, std::vector<HiddenAggregate>& hidden);

// Binds the names HAVING may test for one rendered row into `map` (cleared
// first): every label lower-cased to its output value (of equal labels the
// last wins), then every select expression lower-cased to its output value,
// then every hidden aggregate's name to its spec's rendered text, each only
// where the name is not bound yet. `row` holds the output values, one per
// label; `rendered` the rendered texts, one per aggregate spec. Key copies come from
// `arena`; every text must outlive the map's use. Returns OutOfMemory.
[[nodiscard]] Error bindHavingValues(std::span<const std::string> labels,
                                     std::span<const FieldSlice> row,
                                     std::span<const std::string> select_items,
                                     std::span<const FieldSlice> rendered,
                                     std::span<const HiddenAggregate> hidden, ArenaAllocator& arena,
                                     NamedValueMap& map) noexcept;

}  // namespace tavix
