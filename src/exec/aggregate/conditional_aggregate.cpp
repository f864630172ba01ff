#include "exec/aggregate/conditional_aggregate.h"

#include <optional>
#include <utility>

#include "common/number_rule.h"
#include "common/text.h"
#include "engine/expr/scalar_expr.h"
#include "sql/condition_parser.h"

namespace tavix {
namespace {

// A THEN or ELSE text: a number literal, else a column of the map.
Error parseNumericOperand(std::string_view text, const ColumnIndexMap& map, NumericOperand& out) {
  double value = 0;
  if (parseNumber(text, value) == Error::ok) {
    out = NumericOperand::literal(value);
    return Error::ok;
  }
  const std::optional<size_t> column = map.findAnyCase(text);
  if (!column) return Error::ColumnNotFound;
  out = NumericOperand::column(*column);
  return Error::ok;
}

bool conditionalKind(std::string_view name, AggregateKind& kind) noexcept {
  static constexpr struct {
    std::string_view name;
    AggregateKind kind;
  } kKinds[] = {
      {"sum", AggregateKind::sum}, {"avg", AggregateKind::avg},     {"min", AggregateKind::min},
      {"max", AggregateKind::max}, {"count", AggregateKind::count},
  };
  for (const auto& k : kKinds) {
    if (equalsIgnoreCase(name, k.name)) {
      kind = k.kind;
      return true;
    }
  }
  return false;
}

}  // namespace

Error parseConditionalAggregate(std::string_view text, const ColumnIndexMap& map,
                                ConditionalAggregate& out) {
  out = ConditionalAggregate{};
  const std::string_view t = trim(text);
  const size_t open = t.find('(');
  if (open == std::string_view::npos || t.back() != ')') return Error::ok;
  const std::string_view name = trim(t.substr(0, open));
  const std::string_view inner = trim(t.substr(open + 1, t.size() - open - 2));
  const CaseWhenParts parts = splitCaseWhen(inner);
  if (!parts.found) return Error::ok;

  ConditionalAggregate result;
  TAVIX_TRY(parseNumericOperand(parts.then_text, map, result.block.then_operand));
  TAVIX_TRY(parseNumericOperand(parts.else_text, map, result.block.else_operand));
  if (!conditionalKind(name, result.kind)) return Error::ok;

  ConditionNode condition;
  TAVIX_TRY(parseCondition(parts.condition, condition));
  if (condition.kind != ConditionKind::comparison) return Error::ok;
  const std::optional<size_t> column = map.find(condition.comparison.column);
  if (!column) return Error::ColumnNotFound;
  result.block.condition_column = *column;
  result.block.condition = std::move(condition.comparison);
  result.present = true;
  out = std::move(result);
  return Error::ok;
}

}  // namespace tavix
