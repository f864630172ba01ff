#include "exec/scan/scan_pipeline.h"

#include <cmath>
#include <memory>
#include <utility>

#include "common/number_rule.h"
#include "engine/expr/row_predicates.h"
#include "engine/expr/scalar_eval.h"
#include "exec/sort/stable_sort.h"
#include "sql/condition_parser.h"
#include "sql/select_item.h"

namespace tavix {
namespace {

// Appends the LEB128 form of `n` (seven bits a byte, low bits first, the top
// bit set on every byte but the last) so that a key's value lengths never
// run into its value bytes.
void appendLength(std::string& key, uint64_t n) {
  while (n >= 0x80) {
    key.push_back(static_cast<char>((n & 0x7F) | 0x80));
    n >>= 7;
  }
  key.push_back(static_cast<char>(n));
}

// Looks columns up in a `ColumnIndexMap` for the expression compiler.
class ColumnMapResolver final : public ColumnResolver {
 public:
  explicit ColumnMapResolver(const ColumnIndexMap& map) noexcept : map_(map) {}
  bool findColumn(std::string_view lowered_name, uint64_t& index) const override {
    const std::optional<size_t> found = map_.find(lowered_name);
    if (!found) return false;
    index = *found;
    return true;
  }

 private:
  const ColumnIndexMap& map_;
};

}  // namespace

Error buildOutputColumns(const ParsedQuery& query, std::span<const FieldSlice> header_names,
                         const ColumnIndexMap& map, OutputColumns& out) {
  out.specs.clear();
  out.labels.clear();
  if (query.select_star) {
    out.specs.resize(header_names.size());
    out.labels.reserve(header_names.size());
    for (size_t i = 0; i < header_names.size(); ++i) {
      out.specs[i].column = i;
      out.labels.push_back(trimHeaderName(header_names[i]));
    }
    return Error::ok;
  }
  const ColumnMapResolver resolver(map);
  out.specs.reserve(query.select_items.size());
  out.labels.reserve(query.select_items.size());
  for (const std::string& item : query.select_items) {
    const SelectAlias split = splitSelectAlias(item);
    OutputColumnSpec column_spec;
    bool present = false;
    TAVIX_TRY(parseScalarExpr(split.expression, resolver, column_spec.expr, present));
    const bool has_alias = split.has_alias;
    if (present) {
      column_spec.kind = OutputColumnKind::expression;
      out.labels.push_back(has_alias ? split.alias : split.expression);
    } else {
      const std::optional<size_t> column = map.findAnyCase(split.expression);
      if (!column) return missingColumnError(split.expression);
      column_spec.column = *column;
      out.labels.push_back(has_alias ? split.alias : trimHeaderName(header_names[*column]));
    }
    out.specs.push_back(std::move(column_spec));
  }
  return Error::ok;
}

void projectRow(const OutputColumns& columns, const FieldSlice* fields, size_t field_count,
                ArenaAllocator& row_arena, FieldSlice* values) noexcept {
  row_arena.reset(ArenaAllocator::ResetMode::retain_capacity);
  const Allocator allocator = row_arena.allocator();
  for (size_t i = 0; i < columns.specs.size(); ++i) {
    const OutputColumnSpec& column_spec = columns.specs[i];
    if (column_spec.kind == OutputColumnKind::column) {
      values[i] = column_spec.column < field_count ? fields[column_spec.column] : FieldSlice();
    } else {
      values[i] = evalScalarExpr(column_spec.expr, fields, field_count, allocator);
    }
  }
}

Error DistinctRowSet::insertRow(std::span<const FieldSlice> values, bool& fresh) {
  scratch_.clear();
  for (const FieldSlice value : values) {
    appendLength(scratch_, value.size());
    scratch_.append(value);
  }
  return insertText(scratch_, fresh);
}

Error DistinctRowSet::insertText(std::string_view text, bool& fresh) {
  fresh = !seen_.contains(text);
  if (!fresh) return Error::ok;
  std::string_view copy;
  if (!arena_.allocator().copyText(text, copy)) return Error::OutOfMemory;
  seen_.insert(copy);
  return Error::ok;
}

Error emitUnsortedRow(ResultWriter& writer, UnsortedEmission& emission,
                      std::span<const FieldSlice> values, bool& stop) noexcept {
  stop = false;
  if (emission.limit == 0) {
    stop = true;
    return Error::ok;
  }
  if (emission.skipped < static_cast<uint64_t>(emission.offset > 0 ? emission.offset : 0)) {
    ++emission.skipped;
    return Error::ok;
  }
  TAVIX_TRY(writeResultRow(writer, values));
  ++emission.written;
  if (emission.limit > 0 && emission.written >= static_cast<uint64_t>(emission.limit)) stop = true;
  if (emission.flush_periodically && emission.written % kUnsortedFlushRows == 0) {
    TAVIX_TRY(flushResultWriter(writer));
  }
  return Error::ok;
}

Error resolveOrderByColumn(std::string_view key, std::span<const FieldSlice> labels,
                           std::span<const OutputColumnSpec> specs,
                           std::span<const FieldSlice> lowered_header, uint64_t& index,
                           bool& found) noexcept {
  found = false;
  uint64_t position = 0;
  if (parseInteger<uint64_t>(key, position) == Error::ok && position >= 1 &&
      position <= labels.size()) {
    index = position - 1;
    found = true;
    return Error::ok;
  }
  for (size_t i = 0; i < labels.size(); ++i) {
    if (equalsIgnoreCase(labels[i], key)) {
      index = i;
      found = true;
      return Error::ok;
    }
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    const OutputColumnSpec& column_spec = specs[i];
    if (column_spec.kind == OutputColumnKind::column && column_spec.column < lowered_header.size() &&
        lowered_header[column_spec.column] == key) {
      index = i;
      found = true;
      return Error::ok;
    }
  }
  return Error::ok;
}

Error resolveSortKeySource(std::string_view key, bool descending, const OutputColumns& columns,
                           const ColumnIndexMap& map, SortKeySource& out) {
  out.descending = descending;
  out.from_output = true;
  bool found = false;
  TAVIX_TRY(resolveOrderByColumn(key, columns.labels, columns.specs, map.loweredNameSlices(),
                                 out.index, found));
  if (found) return Error::ok;
  const std::optional<size_t> column = map.find(key);
  if (!column) return Error::OrderByColumnNotFound;
  out.index = *column;
  out.from_output = false;
  return Error::ok;
}

Error resolveSortKeySources(const ParsedQuery& query, const OutputColumns& columns,
                            const ColumnIndexMap& map, std::vector<SortKeySource>& out) {
  out.clear();
  auto resolve = [&](const std::string& key, bool descending) -> Error {
    SortKeySource source;
    TAVIX_TRY(resolveSortKeySource(key, descending, columns, map, source));
    out.push_back(source);
    return Error::ok;
  };
  TAVIX_TRY(resolve(query.order_by.primary_column, query.order_by.primary_descending));
  for (const OrderByItem& item : query.order_by.extra_keys) {
    TAVIX_TRY(resolve(item.column, item.descending));
  }
  return Error::ok;
}

Error emitSortedRows(ResultWriter& writer, std::span<const SortKeyRecord> records,
                     SortWindow window, bool distinct) {
  DistinctRowSet emitted;
  for (uint64_t i = window.start; i < window.end; ++i) {
    const FieldSlice row = records[i].row_text;
    if (distinct) {
      bool fresh = false;
      TAVIX_TRY(emitted.insertText(row, fresh));
      if (!fresh) continue;
    }
    TAVIX_TRY(emitRenderedRow(writer, row));
  }
  return Error::ok;
}

Error OrderedRows::init(const QueryOptions& options, std::span<const FieldSlice> labels,
                        std::vector<SortKeySource> keys, int32_t limit, int32_t offset) {
  keys_ = std::move(keys);
  more_count_ = keys_.size() - 1;
  more_descending_.reset(new bool[more_count_ + 1]);
  for (size_t i = 0; i < more_count_; ++i) more_descending_[i] = keys_[i + 1].descending;
  order_ = RecordOrder{keys_[0].descending,
                       std::span<const bool>(more_descending_.get(), more_count_)};
  limit_ = limit;
  offset_ = offset;

  form_ = RowForm{};
  form_.format = normalizedFormat(options.output_format);
  form_.delimiter = options.delimiter;
  // Every value is a JSON string here, numbers included: the row is
  // rendered before its place in the output is known and stays as it is.
  form_.json_values = JsonValues::strings;
  if (form_.format != OutputFormat::csv) {
    // The keys' texts first (the buffer may move while it grows), then
    // their views.
    std::vector<uint64_t> key_ends;
    key_ends.reserve(labels.size());
    for (const FieldSlice label : labels) {
      TAVIX_TRY(appendJsonKey(key_text_, label));
      key_ends.push_back(key_text_.len);
    }
    json_keys_.reserve(labels.size());
    uint64_t from = 0;
    for (const uint64_t end : key_ends) {
      json_keys_.push_back(key_text_.slice(from, end - from));
      from = end;
    }
    form_.json_keys = json_keys_;
  }

  const std::optional<uint64_t> window = computeSortLimit(limit, offset);
  top_n_ = window.has_value() && *window <= kTopNMaxRows;
  if (top_n_) {
    TAVIX_TRY(heap_.init(*window, order_));
    slot_text_.resize(static_cast<size_t>(*window));
    slot_more_.resize(static_cast<size_t>(*window) * more_count_);
    candidate_more_.resize(more_count_);
    return Error::ok;
  }
  return reserveTextBuffer(text_, kSortTextInitialBytes);
}

Error OrderedRows::add(std::span<const FieldSlice> values, const FieldSlice* fields,
                       size_t field_count) {
  return top_n_ ? addToHeap(values, fields, field_count) : addGathered(values, fields, field_count);
}

Error OrderedRows::addToHeap(std::span<const FieldSlice> values, const FieldSlice* fields,
                             size_t field_count) {
  const FieldSlice first = sortKeyValue(keys_[0], values.data(), fields, field_count);
  const double number = readSortNumber(first);
  // Once the heap is full nearly every row loses on its first key alone.
  if (!heap_.wouldAdmit(number, first)) return Error::ok;
  for (size_t i = 0; i < more_count_; ++i) {
    candidate_more_[i] = makeOrderValue(sortKeyValue(keys_[i + 1], values.data(), fields, field_count));
  }
  SortKeyRecord record{makeOrderKey(number, first), number, first, {}, candidate_more_.data()};
  if (!heap_.wouldAdmit(record)) return Error::ok;

  // The slot's texts belong to the record this one replaces, which the heap
  // no longer compares: they are overwritten in place (capacity kept).
  const size_t slot = static_cast<size_t>(heap_.nextSlot());
  TextBuffer& text = slot_text_[slot];
  text.clear();
  TAVIX_TRY(appendToTextBuffer(text, first));
  for (size_t i = 0; i < more_count_; ++i) TAVIX_TRY(appendToTextBuffer(text, candidate_more_[i].text));
  const uint64_t row_start = text.len;
  TAVIX_TRY(appendRenderedRow(text, form_, values));
  uint64_t at = 0;
  record.key_text = text.slice(at, first.size());
  at += first.size();
  OrderValue* more = more_count_ == 0 ? nullptr : slot_more_.data() + slot * more_count_;
  for (size_t i = 0; i < more_count_; ++i) {
    const size_t n = candidate_more_[i].text.size();
    more[i] = OrderValue{candidate_more_[i].number, text.slice(at, n)};
    at += n;
  }
  record.more_keys = more;
  record.row_text = text.slice(row_start, text.len - row_start);
  heap_.admit(record);
  return Error::ok;
}

Error OrderedRows::addGathered(std::span<const FieldSlice> values, const FieldSlice* fields,
                               size_t field_count) {
  const FieldSlice first = sortKeyValue(keys_[0], values.data(), fields, field_count);
  PendingSortEntry entry;
  entry.number = readSortNumber(first);
  entry.key_text = TextSpan{text_.len, first.size()};
  TAVIX_TRY(appendToTextBuffer(text_, first));
  for (size_t i = 0; i < more_count_; ++i) {
    const FieldSlice value = sortKeyValue(keys_[i + 1], values.data(), fields, field_count);
    more_entries_.push_back(PendingKey{readSortNumber(value), TextSpan{text_.len, value.size()}});
    TAVIX_TRY(appendToTextBuffer(text_, value));
  }
  entry.row_text.position = text_.len;
  TAVIX_TRY(appendRenderedRow(text_, form_, values));
  entry.row_text.length = text_.len - entry.row_text.position;
  entries_.push_back(entry);
  return Error::ok;
}

Error OrderedRows::sortAndEmit(bool distinct, ResultWriter& writer) {
  std::vector<SortKeyRecord> records;
  std::vector<OrderValue> more;  // the records' further key values
  uint64_t kept = 0;
  if (top_n_) {
    records.resize(static_cast<size_t>(heap_.size()));
    kept = heap_.takeSorted(records.data());
  } else {
    // The buffer no longer grows: offsets become views.
    more.resize(more_entries_.size());
    for (size_t i = 0; i < more.size(); ++i) {
      const PendingKey& key = more_entries_[i];
      more[i] = OrderValue{key.number, key.text.length == 0 ? FieldSlice()
                                                            : text_.slice(key.text.position, key.text.length)};
    }
    records.resize(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
      records[i] = sortKeyRecordFromPending(entries_[i], text_.data);
      if (more_count_ != 0) records[i].more_keys = more.data() + i * more_count_;
    }
    TAVIX_TRY(sortKeyRecords(records.data(), records.size(), order_,
                             computeSortLimit(limit_, offset_), kept));
  }
  return emitSortedRows(writer, records, computeSortWindow(kept, limit_, offset_), distinct);
}

Error finishScanOutput(ResultWriter& writer) noexcept {
  TAVIX_TRY(finishResultWriter(writer));
  return flushResultWriter(writer);
}

Error prepareSequentialScan(const ParsedQuery& query, const QueryOptions& options,
                            std::span<const FieldSlice> header_fields, ResultWriter& writer,
                            SequentialScanSetup& setup) {
  if (options.no_header_row) {
    setup.generated_names.reserve(header_fields.size());
    for (size_t i = 1; i <= header_fields.size(); ++i)
      setup.generated_names.push_back(makeGeneratedColumnName(i));
    setup.names.assign(setup.generated_names.begin(), setup.generated_names.end());
  } else {
    setup.names.assign(header_fields.begin(), header_fields.end());
  }
  setup.header_is_first_row = options.no_header_row;
  setup.distinct = query.distinct;
  setup.map.assign(setup.names.data(), setup.names.size());
  TAVIX_TRY(buildOutputColumns(query, setup.names, setup.map, setup.columns));
  setup.values.resize(setup.columns.size());
  TAVIX_TRY(setResultColumns(writer, setup.columns.labels, options.omit_header));
  return setup.filter.init(query, setup.map, options.strict);
}

}  // namespace tavix
