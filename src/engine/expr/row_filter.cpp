#include "engine/expr/row_filter.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "common/number_rule.h"
#include "engine/expr/row_predicates.h"
#include "engine/expr/scalar_eval.h"
#include "sql/condition_parser.h"

namespace tavix {
namespace {

// The direct test of a comparison leaf whose literal is the number `v` on a
// field that reads as the number `x`. NaN makes every ordering false and
// `ne` true.
bool compareNumbers(const ComparisonLeaf& leaf, double x, double v, FieldSlice field) noexcept {
  switch (leaf.op) {
    case ComparisonOp::eq:
    case ComparisonOp::ne:
    case ComparisonOp::gt:
    case ComparisonOp::ge:
    case ComparisonOp::lt:
    case ComparisonOp::le: return compareNumbersByOp(x, leaf.op, v);
    case ComparisonOp::like: return likeMatch(field, leaf.value);
    case ComparisonOp::ilike: return likeMatchIgnoreCase(field, leaf.value);
    default: return evalComparison(leaf, field);
  }
}

}  // namespace

Error RowFilter::init(const ParsedQuery& query, const ColumnIndexMap& map, bool strict,
                      WhereLeafRule rule) {
  where_ = nullptr;
  simple_leaf_ = false;
  strict_ = strict;
  rule_ = rule;
  if (!query.has_where) return Error::ok;
  const std::vector<FieldSlice>& names = map.loweredNameSlices();
  TAVIX_TRY(checkConditionColumns(query.where, names.data(), names.size()));
  where_ = &query.where;
  names_ = names.data();
  name_count_ = names.size();
  if (query.where.kind == ConditionKind::comparison) {
    // checkConditionColumns has just found the leaf's column among the names.
    if (const auto column = map.find(query.where.comparison.column)) {
      simple_leaf_ = true;
      leaf_column_ = *column;
    }
  }
  return Error::ok;
}

Error RowFilter::test(const FieldSlice* fields, size_t field_count, bool& pass) const noexcept {
  if (where_ == nullptr) {
    pass = true;
    return Error::ok;
  }
  if (!simple_leaf_) {
    pass = evalConditionTree(*where_, fields, field_count, names_, name_count_);
    return Error::ok;
  }
  const ComparisonLeaf& leaf = where_->comparison;
  const bool aggregate_rule = rule_ == WhereLeafRule::aggregate;
  if (aggregate_rule && leaf_column_ >= field_count) {
    pass = false;
    return Error::ok;
  }
  const FieldSlice field = leaf_column_ < field_count ? fields[leaf_column_] : FieldSlice();
  if (!leaf.value_number) {
    pass = evalComparison(leaf, field);
    return Error::ok;
  }
  double x = 0;
  const bool number =
      aggregate_rule ? readFieldNumber(field, x) : parseNumber(field, x) == Error::ok;
  if (!number) {
    pass = false;
    return strict_ ? Error::StrictModeNonNumericValue : Error::ok;
  }
  pass = compareNumbers(leaf, x, *leaf.value_number, field);
  return Error::ok;
}

size_t filterFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map) {
  if (!query.has_where) return 0;
  size_t span = 0;
  auto take = [&](std::string_view column) {
    if (const std::optional<size_t> i = map.find(column)) span = std::max(span, *i + 1);
  };
  // Iterative walk: a long chain of ANDs and ORs must not deepen the stack.
  std::vector<const ConditionNode*> pending{&query.where};
  while (!pending.empty()) {
    const ConditionNode* node = pending.back();
    pending.pop_back();
    switch (node->kind) {
      case ConditionKind::comparison:
        take(node->comparison.column);
        break;
      case ConditionKind::date_function:
        take(node->date.column);
        if (!node->date.column2.empty()) take(node->date.column2);
        break;
      case ConditionKind::and_or:
        if (node->pair) {
          pending.push_back(&node->pair->left);
          pending.push_back(&node->pair->right);
        }
        break;
      case ConditionKind::negation:
        if (node->child) pending.push_back(node->child.get());
        break;
    }
  }
  return span;
}

}  // namespace tavix
