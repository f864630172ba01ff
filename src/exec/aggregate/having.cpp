#include "exec/aggregate/having.h"

#include <algorithm>
#include <utility>

#include "exec/aggregate/aggregate_call.h"
#include "sql/select_item.h"

namespace tavix {
namespace {

// The comparison leaves of the tree in depth-first order, left before right.
// Walked with an explicit stack: a long chain of ANDs must not deepen the
// call stack.
std::vector<const ComparisonLeaf*> collectComparisonLeaves(const ConditionNode& root) {
  std::vector<const ComparisonLeaf*> leaves;
  std::vector<const ConditionNode*> pending{&root};
  while (!pending.empty()) {
    const ConditionNode* node = pending.back();
    pending.pop_back();
    switch (node->kind) {
      case ConditionKind::comparison: leaves.push_back(&node->comparison); break;
      case ConditionKind::date_function: break;
      case ConditionKind::and_or:
        if (node->pair) {
          pending.push_back(&node->pair->right);
          pending.push_back(&node->pair->left);
        }
        break;
      case ConditionKind::negation:
        if (node->child) pending.push_back(node->child.get());
        break;
    }
  }
  return leaves;
}

// A value text that can only have been meant as a second aggregate.
bool comparesTwoAggregates(const ComparisonLeaf& leaf) noexcept {
  const std::string& v = leaf.value;
  return !leaf.value_number && !v.empty() && (isAsciiLetter(v[0]) || v[0] == '_') &&
         v.find('(') != std::string::npos;
}

}  // namespace

Error compileHaving(const ParsedQuery& query, const ColumnIndexMap& map, AggregateSelectList& list,
                    std::vector<HiddenAggregate>& hidden) {
  if (!query.has_having) return Error::ok;
  const std::vector<const ComparisonLeaf*> leaves = collectComparisonLeaves(query.having);
  for (const ComparisonLeaf* leaf : leaves)
    if (comparesTwoAggregates(*leaf)) return Error::UnsupportedHavingComparesTwoAggregates;

  std::vector<std::string> expressions;
  for (const std::string& item : query.select_items) {
    const std::string_view expression = splitSelectAlias(item).expression;
    if (expression.size() <= kMaxHavingExpressionBytes) expressions.push_back(toLowerCopy(expression));
  }
  for (const ComparisonLeaf* leaf : leaves) {
    const std::string& name = leaf->column;
    if (std::find(expressions.begin(), expressions.end(), name) != expressions.end()) continue;
    if (std::any_of(hidden.begin(), hidden.end(),
                    [&](const HiddenAggregate& h) { return h.name == name; }))
      continue;
    AggregateCall call = parseAggregateCall(name);
    if (!call.present) continue;
    AggregateSpec spec;
    TAVIX_TRY(makeAggregateSpec(std::move(call), map, OutputPrecision{}, spec));
    hidden.push_back(HiddenAggregate{list.specs.size(), name});
    list.specs.push_back(std::move(spec));
  }
  return Error::ok;
}

Error bindHavingValues(std::span<const std::string> labels, std::span<const FieldSlice> row,
                       std::span<const std::string> select_items,
                       std::span<const FieldSlice> rendered,
                       std::span<const HiddenAggregate> hidden, ArenaAllocator& arena,
                       NamedValueMap& map) noexcept {
  map.clear();
  std::string_view key;
  const size_t columns = std::min(labels.size(), row.size());
  for (size_t i = 0; i < columns; ++i) {
    if (!arena.allocator().copyLoweredText(labels[i], key)) return Error::OutOfMemory;
    TAVIX_TRY(map.put(key, row[i]));
  }
  const size_t expressions = std::min(select_items.size(), row.size());
  for (size_t i = 0; i < expressions; ++i) {
    if (!arena.allocator().copyLoweredText(splitSelectAlias(select_items[i]).expression, key))
      return Error::OutOfMemory;
    TAVIX_TRY(map.insert(key, row[i]));
  }
  for (const HiddenAggregate& h : hidden) {
    if (h.spec_index < rendered.size()) TAVIX_TRY(map.insert(h.name, rendered[h.spec_index]));
  }
  return Error::ok;
}

}  // namespace tavix
