#include "exec/group/grouped_select.h"

#include <optional>
#include <string>
#include <utility>

#include "exec/group/group_key_row.h"
#include "sql/select_classify.h"
#include "sql/select_item.h"

namespace tavix {

namespace {

// The first plain column key on `column`, in key order.
bool findColumnKey(const std::vector<GroupKeySpec>& keys, uint64_t column, uint64_t& position) {
  for (size_t k = 0; k < keys.size(); ++k) {
    if (keys[k].kind == GroupKeyKind::column && keys[k].column == column) {
      position = k;
      return true;
    }
  }
  return false;
}

void appendItem(AggregateSelectList& out, AggregateOutputItem&& item, std::string_view label) {
  out.items.push_back(std::move(item));
  out.labels.emplace_back(label);
}

// A plain (non-aggregate) item: a column, the text of a strftime, substr or
// round key, or an expression tied to a column key.
Error compilePlainItem(std::string_view text, const SelectAlias& split, const ColumnIndexMap& map,
                       const CsvHeader& header, const std::vector<GroupKeySpec>& keys,
                       AggregateSelectList& out) {
  AggregateOutputItem item;
  if (const std::optional<size_t> column = map.findAnyCase(text)) {
    item.index = *column;
    item.kind = OutputItemKind::source_column;
    appendItem(out, std::move(item),
               split.has_alias ? split.alias : trimHeaderName(header.names[*column]));
    return Error::ok;
  }
  for (size_t k = 0; k < keys.size(); ++k) {
    if (keys[k].kind == GroupKeyKind::column || !equalsIgnoreCase(keys[k].item_text, text)) continue;
    item.index = k;
    item.kind = OutputItemKind::group_key;
    appendItem(out, std::move(item), split.has_alias ? split.alias : FieldSlice(keys[k].item_text));
    return Error::ok;
  }
  const std::vector<FieldSlice>& names = map.loweredNameSlices();
  const HeaderListResolver resolver(names.data(), names.size());
  bool present = false;
  TAVIX_TRY(parseScalarExpr(text, resolver, item.expr, present));
  if (!present || !findColumnKey(keys, scalarExprInputColumn(item.expr), item.index))
    return missingColumnError(text);
  item.kind = OutputItemKind::key_expression;
  appendItem(out, std::move(item), split.has_alias ? split.alias : text);
  return Error::ok;
}

}  // namespace

Error compileGroupedSelectList(const ParsedQuery& query, const ColumnIndexMap& map,
                               const CsvHeader& header, const std::vector<GroupKeySpec>& keys,
                               AggregateSelectList& out) {
  out = AggregateSelectList{};
  if (query.select_star) {
    for (size_t k = 0; k < keys.size(); ++k) {
      AggregateOutputItem item;
      if (keys[k].kind == GroupKeyKind::column) {
        item.index = keys[k].column;
        item.kind = OutputItemKind::source_column;
        appendItem(out, std::move(item), header.names[keys[k].column]);
      } else {
        item.index = k;
        item.kind = OutputItemKind::group_key;
        appendItem(out, std::move(item), keys[k].item_text);
      }
    }
    return Error::ok;
  }
  for (const std::string& select_item : query.select_items) {
    const SelectAlias split = splitSelectAlias(select_item);
    AggregateItemText item{split.expression, split.expression, split.alias, split.has_alias, {}};
    // ROUND is taken off an aggregate only; around anything else it is part
    // of the expression over a key.
    if (const RoundCall round = unwrapRoundCall(split.expression);
        round.present && isAggregateExpr(round.inner)) {
      item.text = round.inner;
      item.precision = OutputPrecision{round.digits, true};
    }
    bool compiled = false;
    TAVIX_TRY(compileAggregateItem(item, map, out, compiled));
    if (compiled) continue;
    TAVIX_TRY(compilePlainItem(item.text, split, map, header, keys, out));
  }
  return Error::ok;
}

}  // namespace tavix
