#include "exec/aggregate/aggregate_records.h"

#include <algorithm>

namespace tavix {

size_t specFieldSpan(std::span<const AggregateSpec> specs) noexcept {
  uint64_t span = 0;
  const auto take = [&](uint64_t column) { span = std::max(span, column + 1); };
  for (const AggregateSpec& spec : specs) {
    if (spec.has_column) take(spec.column);
    if (!spec.has_case) continue;
    const ConditionalBlock& block = spec.case_block;
    take(block.condition_column);
    if (block.then_operand.is_column) take(block.then_operand.columnIndex());
    if (block.else_operand.is_column) take(block.else_operand.columnIndex());
  }
  return static_cast<size_t>(std::min<uint64_t>(span, kMaxRecordFields));
}

size_t aggregateFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map,
                          std::span<const AggregateSpec> specs) {
  return std::min(std::max(specFieldSpan(specs), filterFieldSpan(query, map)), kMaxRecordFields);
}

}  // namespace tavix
