#include "exec/group/grouped_rows.h"

#include "exec/group/group_order.h"
#include "exec/sort/row_sorter.h"

namespace tavix {

Error resolveGroupSortKeys(const ParsedQuery& query, std::span<const FieldSlice> labels,
                           std::vector<SortKey>& out) {
  out.clear();
  if (!query.has_order_by) return Error::ok;
  auto add = [&](const std::string& key, bool descending) {
    const SortKeyMatch m = resolveSortKey(key, labels, query.select_items, query.group_by);
    if (!m.found) return Error::OrderByColumnNotFound;
    out.push_back(SortKey{m.index + (m.from_second_list ? labels.size() : 0), descending});
    return Error::ok;
  };
  TAVIX_TRY(add(query.order_by.primary_column, query.order_by.primary_descending));
  for (const OrderByItem& item : query.order_by.extra_keys)
    TAVIX_TRY(add(item.column, item.descending));
  return Error::ok;
}

GroupedRows::GroupedRows(const ParsedQuery& query, std::vector<SortKey> sort_keys) noexcept
    : query_(query),
      sort_keys_(std::move(sort_keys)),
      distinct_(query.distinct),
      emission_(query, true) {}

Error GroupedRows::offer(ResultWriter& writer, std::span<const FieldSlice> row,
                         std::span<const FieldSlice> key_parts) {
  if (stop_) return Error::ok;
  if (distinct_) {
    bool fresh = false;
    TAVIX_TRY(distinct_rows_.insertRow(row, fresh));
    if (!fresh) return Error::ok;
  }
  if (sort_keys_.empty()) return emitUnsortedRow(writer, emission_, row, stop_);

  width_ = row.size();
  const size_t count = row.size() + key_parts.size();
  FieldSlice* fields =
      static_cast<FieldSlice*>(store_.alloc(count * sizeof(FieldSlice), alignof(FieldSlice)));
  if (fields == nullptr) return Error::OutOfMemory;
  const Allocator texts = store_.allocator();
  for (size_t i = 0; i < count; ++i) {
    const FieldSlice text = i < row.size() ? row[i] : key_parts[i - row.size()];
    if (!texts.copyText(text, fields[i])) return Error::OutOfMemory;
  }
  kept_.push_back(FieldRow{fields, count});
  return Error::ok;
}

Error GroupedRows::finish(ResultWriter& writer) {
  if (!sort_keys_.empty()) {
    sortRowsByOrderKeys(kept_.data(), kept_.size(), sort_keys_.data(), sort_keys_.size());
    const SortWindow window = computeSortWindow(kept_.size(), query_.limit, query_.offset);
    for (uint64_t i = window.start; i < window.end; ++i)
      TAVIX_TRY(writeResultRow(writer, std::span<const FieldSlice>(kept_[i].fields, width_)));
  }
  return finishScanOutput(writer);
}

}  // namespace tavix
