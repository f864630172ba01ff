// The row an expression over group keys is evaluated on.
//
// A select item such as "concat(city, '-', country)" in a statement grouped
// by city and country reads every column from the group's own key part: the
// key row holds, at each input column that a plain column key reads, that
// key's part (the first such key in key order), and the empty text at every
// other column. Evaluating the expression on this row gives each column its
// own key, and a column that is no key reads as the empty text. A plain
// select item on a column shows the same text.
//
// Built once per statement; `fill` runs once per group on the executor's
// thread, which owns the row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/text.h"
#include "engine/expr/scalar_expr.h"
#include "exec/group/group_keys.h"

namespace tavix {

class GroupKeyRow {
 public:
  // A row of `column_count` columns (the header's), fed by the column keys
  // of `keys`.
  GroupKeyRow(const std::vector<GroupKeySpec>& keys, size_t column_count);

  // Puts the group's key parts (one per key, in key order) in place.
  void fill(const FieldSlice* key_parts) noexcept {
    for (const Feed& feed : feeds_) row_[feed.column] = key_parts[feed.key];
  }

  const FieldSlice* fields() const noexcept { return row_.data(); }
  size_t size() const noexcept { return row_.size(); }

  // The text at `column`: the part of the first column key on it, or empty.
  FieldSlice at(uint64_t column) const noexcept {
    return column < row_.size() ? row_[column] : FieldSlice();
  }

 private:
  struct Feed {
    uint64_t column;
    size_t key;
  };
  std::vector<Feed> feeds_;
  std::vector<FieldSlice> row_;
};

// The input column by which an expression is tied to a group key: the column
// after the unit or format text (datediff: its first column), the first
// column argument of greatest, least and concat (column 0 when all are
// literals), the inner expression's for a nested string function, the first
// listed column of coalesce, and the one column of every other kind.
uint64_t scalarExprInputColumn(const ScalarExpr& expr) noexcept;

}  // namespace tavix
