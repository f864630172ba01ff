#include "exec/aggregate/aggregate_select.h"

#include <optional>
#include <utility>

#include "exec/aggregate/case_over_aggregate.h"
#include "sql/select_item.h"

namespace tavix {
namespace {

bool mentionsCase(std::string_view text) noexcept {
  return text.size() >= 4 && findIgnoreCase(text, "case") != std::string_view::npos;
}

void appendAggregateValue(AggregateSelectList& list, AggregateSpec&& spec, std::string label) {
  AggregateOutputItem item;
  item.index = list.specs.size();
  item.kind = OutputItemKind::aggregate_value;
  list.items.push_back(std::move(item));
  list.labels.push_back(std::move(label));
  list.specs.push_back(std::move(spec));
}

}  // namespace

std::vector<FieldSlice> AggregateSelectList::labelViews() const {
  return std::vector<FieldSlice>(labels.begin(), labels.end());
}

Error resolveAggregateColumn(const AggregateCall& call, const ColumnIndexMap& map,
                             AggregateSpec& spec) {
  spec.has_column = call.column.has_value();
  spec.column = 0;
  if (!spec.has_column) return Error::ok;
  const std::optional<size_t> column = map.findAnyCase(*call.column);
  if (!column) return Error::ColumnNotFound;
  spec.column = *column;
  return Error::ok;
}

Error makeAggregateSpec(AggregateCall&& call, const ColumnIndexMap& map,
                        OutputPrecision precision, AggregateSpec& spec) {
  spec = AggregateSpec{};
  TAVIX_TRY(resolveAggregateColumn(call, map, spec));
  spec.label = std::move(call.text);
  if (call.separator) spec.separator = std::move(*call.separator);
  spec.kind = call.kind;
  spec.precision = precision;
  return Error::ok;
}

Error compileAggregateItem(const AggregateItemText& item, const ColumnIndexMap& map,
                           AggregateSelectList& list, bool& compiled) {
  compiled = false;
  const auto label_or = [&](std::string_view fallback) {
    return std::string(item.has_alias ? item.alias : fallback);
  };

  if (mentionsCase(item.text)) {
    ConditionalAggregate conditional;
    TAVIX_TRY(parseConditionalAggregate(item.text, map, conditional));
    if (conditional.present) {
      AggregateSpec spec;
      spec.case_block = std::move(conditional.block);
      spec.has_case = true;
      spec.kind = conditional.kind;
      spec.precision = item.precision;
      spec.label = label_or(item.text);
      std::string label = spec.label;
      appendAggregateValue(list, std::move(spec), std::move(label));
      compiled = true;
      return Error::ok;
    }
    CaseOverAggregate over;
    TAVIX_TRY(parseCaseOverAggregate(item.text, over));
    if (over.present) {
      // Neither the aggregate nor the CASE result is rounded.
      AggregateSpec spec;
      TAVIX_TRY(makeAggregateSpec(std::move(over.call), map, OutputPrecision{}, spec));
      AggregateOutputItem out;
      out.index = list.specs.size();
      out.kind = OutputItemKind::aggregate_expression;
      out.expr_text = std::move(over.expr_text);
      out.expr = std::move(over.expr);
      list.items.push_back(std::move(out));
      list.labels.push_back(label_or(item.text));
      list.specs.push_back(std::move(spec));
      compiled = true;
      return Error::ok;
    }
  }

  AggregateCall call = parseAggregateCall(item.text);
  if (!call.present) return Error::ok;
  const std::string_view unaliased = item.precision.has_digits ? item.expression : call.text;
  std::string label = label_or(unaliased);
  AggregateSpec spec;
  TAVIX_TRY(makeAggregateSpec(std::move(call), map, item.precision, spec));
  spec.label = label;
  appendAggregateValue(list, std::move(spec), std::move(label));
  compiled = true;
  return Error::ok;
}

Error compileAggregateSelectList(std::span<const std::string> select_items,
                                 const ColumnIndexMap& map,
                                 std::span<const FieldSlice> header_names,
                                 AggregateSelectList& list) {
  for (const std::string& select_item : select_items) {
    const SelectAlias split = splitSelectAlias(select_item);
    AggregateItemText item{split.expression, split.expression, split.alias, split.has_alias, {}};
    if (const RoundCall round = unwrapRoundCall(split.expression); round.present) {
      item.text = round.inner;
      item.precision = OutputPrecision{round.digits, true};
    }
    bool compiled = false;
    TAVIX_TRY(compileAggregateItem(item, map, list, compiled));
    if (compiled) continue;

    const std::optional<size_t> column = map.findAnyCase(item.text);
    if (!column) return missingColumnError(item.text);
    AggregateOutputItem out;
    out.index = *column;
    out.kind = OutputItemKind::source_column;
    list.items.push_back(std::move(out));
    list.labels.emplace_back(split.has_alias ? split.alias
                                             : trimHeaderName(header_names[*column]));
  }
  return Error::ok;
}

}  // namespace tavix
