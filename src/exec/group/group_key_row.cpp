#include "exec/group/group_key_row.h"

namespace tavix {

GroupKeyRow::GroupKeyRow(const std::vector<GroupKeySpec>& keys, size_t column_count)
    : row_(column_count) {
  std::vector<bool> fed(column_count, false);
  for (size_t k = 0; k < keys.size(); ++k) {
    const GroupKeySpec& key = keys[k];
    if (key.kind != GroupKeyKind::column || key.column >= column_count || fed[key.column]) continue;
    fed[key.column] = true;
    feeds_.push_back(Feed{key.column, k});
  }
}

uint64_t scalarExprInputColumn(const ScalarExpr& expr) noexcept {
  switch (expr.kind) {
    case ScalarExprKind::datediff: return expr.column_a;
    case ScalarExprKind::greatest:
    case ScalarExprKind::least:
    case ScalarExprKind::concat:
      for (uint64_t i = 0; i < expr.arg_count; ++i)
        if (!expr.args[i].is_literal) return expr.args[i].column;
      return 0;
    case ScalarExprKind::nested_string_fn:
      return expr.child ? scalarExprInputColumn(*expr.child) : 0;
    case ScalarExprKind::coalesce: return expr.columns[0];
    default: return expr.column;
  }
}

}  // namespace tavix
