#include "exec/group/grouped_select.h"

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

// A plain (non-aggregate) item: a column, the text of a strftime, substr or
// round key, or an expression tied to a column key.
Error compilePlainItem(std::string_view text, const SelectAlias& split, const ColumnIndexMap& map,
                       const CsvHeader& header, const std::vector<GroupKeySpec>& keys,
                       GroupedSelectList& out) {
  GroupedOutputItem item;
  if (const std::optional<size_t> column = map.findAnyCase(text)) {
    item.index = *column;
    item.kind = GroupedItemKind::source_column;
    out.labels.push_back(split.has_alias ? split.alias : trimHeaderName(header.names[*column]));
    out.items.push_back(std::move(item));
    return Error::ok;
  }
  for (size_t k = 0; k < keys.size(); ++k) {
    if (keys[k].kind == GroupKeyKind::column || !equalsIgnoreCase(keys[k].item_text, text)) continue;
    item.index = k;
    item.kind = GroupedItemKind::group_key;
    out.labels.push_back(split.has_alias ? split.alias : FieldSlice(keys[k].item_text));
    out.items.push_back(std::move(item));
    return Error::ok;
  }
  const std::vector<FieldSlice>& names = map.loweredNameSlices();
  const HeaderListResolver resolver(names.data(), names.size());
  bool present = false;
  TAVIX_TRY(parseScalarExpr(text, resolver, item.expr, present));
  if (!present || !findColumnKey(keys, scalarExprInputColumn(item.expr), item.index))
    return missingColumnError(text);
  item.kind = GroupedItemKind::key_expression;
  out.labels.push_back(split.has_alias ? split.alias : text);
  out.items.push_back(std::move(item));
  return Error::ok;
}

}  // namespace

Error compileGroupedSelectList(const ParsedQuery& query, const ColumnIndexMap& map,
                               const CsvHeader& header, const std::vector<GroupKeySpec>& keys,
                               GroupedSelectList& out) {
  out.items.clear();
  out.labels.clear();
  if (query.select_star) {
    for (size_t k = 0; k < keys.size(); ++k) {
      GroupedOutputItem item;
      if (keys[k].kind == GroupKeyKind::column) {
        item.index = keys[k].column;
        item.kind = GroupedItemKind::source_column;
        out.labels.push_back(header.names[keys[k].column]);
      } else {
        item.index = k;
        item.kind = GroupedItemKind::group_key;
        out.labels.push_back(keys[k].item_text);
      }
      out.items.push_back(std::move(item));
    }
    return Error::ok;
  }
  for (const std::string& select_item : query.select_items) {
    const SelectAlias split = splitSelectAlias(select_item);
    const RoundCall round = unwrapRoundCall(split.expression);
    if (round.present && isAggregateExpr(round.inner)) return Error::Unimplemented;
    if (isAggregateExpr(split.expression)) return Error::Unimplemented;
    TAVIX_TRY(compilePlainItem(split.expression, split, map, header, keys, out));
  }
  return Error::ok;
}

}  // namespace tavix
