#include "exec/aggregate/case_over_aggregate.h"

#include <utility>

#include "common/text.h"

namespace tavix {

ComparisonSplit splitAtComparison(std::string_view text) noexcept {
  int64_t depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '(') {
      ++depth;
      continue;
    }
    if (c == ')') {
      --depth;
      continue;
    }
    if (depth != 0) continue;
    for (const ComparisonOperator& candidate : kCaseComparisonOperators) {
      if (text.substr(i, candidate.text.size()) != candidate.text) continue;
      return ComparisonSplit{trim(text.substr(0, i)), candidate.text,
                             trim(text.substr(i + candidate.text.size())), true};
    }
  }
  return ComparisonSplit{};
}

std::string formatCaseOverAggregateText(std::string_view op, std::string_view value,
                                        std::string_view then_text, std::string_view else_text) {
  std::string text;
  text.reserve(32 + op.size() + value.size() + then_text.size() + else_text.size());
  text.append("CASE WHEN ").append(kAggregatePlaceholder).append(" ");
  text.append(op).append(" ").append(value);
  text.append(" THEN ").append(then_text);
  text.append(" ELSE ").append(else_text);
  text.append(" END");
  return text;
}

Error parseCaseOverAggregate(std::string_view text, CaseOverAggregate& out) {
  out = CaseOverAggregate{};
  const CaseWhenParts parts = splitCaseWhen(text);
  if (!parts.found) return Error::ok;
  const ComparisonSplit split = splitAtComparison(parts.condition);
  if (!split.found) return Error::ok;
  AggregateCall call = parseAggregateCall(split.lhs);
  if (!call.present) return Error::ok;

  const FieldSlice placeholder[] = {kAggregatePlaceholder};
  const HeaderListResolver columns(placeholder, 1);
  auto rewritten = std::make_unique<const std::string>(
      formatCaseOverAggregateText(split.op, split.rhs, parts.then_text, parts.else_text));
  ScalarExpr expr;
  bool present = false;
  TAVIX_TRY(parseScalarExpr(*rewritten, columns, expr, present));
  if (!present) return Error::ok;
  out.call = std::move(call);
  out.expr_text = std::move(rewritten);
  out.expr = std::move(expr);
  out.present = true;
  return Error::ok;
}

}  // namespace tavix
