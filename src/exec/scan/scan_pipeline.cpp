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

Error SortGather::init(const QueryOptions& options, std::span<const FieldSlice> labels) {
  form_ = RowForm{};
  form_.format = normalizedFormat(options.output_format);
  form_.delimiter = options.delimiter;
  // Every value is a JSON string here, numbers included: the row is
  // rendered before its place in the output is known and stays as it is.
  form_.json_values = JsonValues::strings;
  entries_.clear();
  json_keys_.clear();
  key_text_.clear();
  freeTextBuffer(text_);
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
  return reserveTextBuffer(text_, kSortTextInitialBytes);
}

Error SortGather::appendRendered(std::span<const FieldSlice> values, TextSpan& span) {
  span.position = text_.len;
  TAVIX_TRY(appendRenderedRow(text_, form_, values));
  span.length = text_.len - span.position;
  return Error::ok;
}

Error SortGather::addRow(FieldSlice sort_value, std::span<const FieldSlice> values) {
  PendingSortEntry entry;
  entry.number = readSortNumber(sort_value);
  entry.key_text.position = text_.len;
  entry.key_text.length = sort_value.size();
  TAVIX_TRY(appendToTextBuffer(text_, sort_value));
  TAVIX_TRY(appendRendered(values, entry.row_text));
  entries_.push_back(entry);
  return Error::ok;
}

Error SortGather::addMultiKeyRow(std::span<const FieldSlice> key_values,
                                 std::span<const FieldSlice> values) {
  PendingSortEntry entry;
  entry.number = std::nan("");
  entry.key_text.position = text_.len;
  TAVIX_TRY(appendRenderedCsvRow(text_, key_values, form_.delimiter));
  entry.key_text.length = text_.len - entry.key_text.position;
  TAVIX_TRY(appendRendered(values, entry.row_text));
  entries_.push_back(entry);
  return Error::ok;
}

void SortGather::toRecords(std::vector<SortKeyRecord>& records) const {
  records.resize(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    records[i] = sortKeyRecordFromPending(entries_[i], text_.data);
  }
}

Error SortGather::sortSingleKey(bool descending, int32_t limit, int32_t offset,
                                std::vector<SortKeyRecord>& records, SortWindow& window) {
  toRecords(records);
  uint64_t kept = 0;
  TAVIX_TRY(sortKeyRecords(records.data(), records.size(), descending,
                           computeSortLimit(limit, offset), kept));
  window = computeSortWindow(kept, limit, offset);
  return Error::ok;
}

Error SortGather::sortMultiKey(std::span<const bool> descending, int32_t limit, int32_t offset,
                               std::vector<SortKeyRecord>& records, SortWindow& window) {
  toRecords(records);
  std::vector<SortKey> keys(descending.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    keys[i].column = i;
    keys[i].descending = descending[i];
  }
  const MultiKeySortContext context{keys.data(), keys.size(), form_.delimiter};
  // Each record's key line (its key_text) holds the key values rendered as
  // a CSV row; the line comparator cuts its fields from `row_text`, so it is
  // shown the key lines in that place.
  stableSort(records.data(), records.size(), [&](const SortKeyRecord& a, const SortKeyRecord& b) {
    SortKeyRecord line_a;
    SortKeyRecord line_b;
    line_a.row_text = a.key_text;
    line_b.row_text = b.key_text;
    return orderByLineLessThan(context, line_a, line_b);
  });
  window = computeSortWindow(records.size(), limit, offset);
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
                        std::vector<SortKeySource> keys) {
  keys_ = std::move(keys);
  if (keys_.size() > 1) key_values_.resize(keys_.size());
  return gather_.init(options, labels);
}

Error OrderedRows::add(std::span<const FieldSlice> values, const FieldSlice* fields,
                       size_t field_count) {
  if (keys_.size() == 1)
    return gather_.addRow(sortKeyValue(keys_[0], values.data(), fields, field_count), values);
  for (size_t i = 0; i < keys_.size(); ++i)
    key_values_[i] = sortKeyValue(keys_[i], values.data(), fields, field_count);
  return gather_.addMultiKeyRow(key_values_, values);
}

Error OrderedRows::sortAndEmit(int32_t limit, int32_t offset, bool distinct,
                               ResultWriter& writer) {
  std::vector<SortKeyRecord> records;
  SortWindow window;
  if (keys_.size() == 1) {
    TAVIX_TRY(gather_.sortSingleKey(keys_[0].descending, limit, offset, records, window));
  } else {
    std::unique_ptr<bool[]> descending(new bool[keys_.size()]);
    for (size_t i = 0; i < keys_.size(); ++i) descending[i] = keys_[i].descending;
    TAVIX_TRY(gather_.sortMultiKey(std::span<const bool>(descending.get(), keys_.size()), limit,
                                   offset, records, window));
  }
  return emitSortedRows(writer, records, window, distinct);
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
