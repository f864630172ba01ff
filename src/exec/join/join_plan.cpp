#include "exec/join/join_plan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/number_rule.h"
#include "engine/csv/csv_header.h"
#include "engine/output/result_writer.h"
#include "engine/output/text_buffer.h"
#include "platform/platform.h"
#include "sql/condition_parser.h"

namespace tavix {
namespace {

// The names of one table: its lower-cased header fields (or c1..cN), and
// their qualified forms when the table has an alias (empty otherwise).
struct TableNames {
  std::vector<FieldSlice> plain;
  std::vector<FieldSlice> qualified;
};

Error nameTable(JoinPlan& plan, const OwnedFieldList& header, std::string_view alias,
                bool no_header_row, TableNames& out) {
  const size_t n = header.count();
  out.plain.resize(n);
  out.qualified.assign(n, FieldSlice());
  for (size_t i = 0; i < n; ++i) {
    const std::string generated = no_header_row ? makeGeneratedColumnName(i + 1) : std::string();
    const std::string_view source = no_header_row ? std::string_view(generated) : header.items[i];
    if (!plan.arena.allocator().copyLoweredText(source, out.plain[i])) return Error::OutOfMemory;
    if (!alias.empty() && !formatQualifiedName(plan.arena, alias, out.plain[i], out.qualified[i]))
      return Error::OutOfMemory;
  }
  return Error::ok;
}

// Binds the names of tables [0, table_count), table by table and column by
// column: a plain name keeps the first column bearing it, a qualified name
// is put and so ends on the last column of its table bearing it, and wins
// over a header literally named like it wherever that header stands.
Error bindTableNames(const std::vector<TableNames>& tables, const std::vector<JoinTableSlot>& slots,
                     size_t table_count, JoinColumnMap& map) {
  for (size_t s = 0; s < table_count; ++s) {
    const TableNames& names = tables[s];
    for (size_t c = 0; c < names.plain.size(); ++c) {
      const uint64_t index = slots[s].first_column + c;
      TAVIX_TRY(map.insert(names.plain[c], index));
      if (!slots[s].alias.empty()) TAVIX_TRY(map.put(names.qualified[c], index));
    }
  }
  return Error::ok;
}

// Stores one record of a joined table under its key field `key_column`; a
// record without that field is not stored.
Error storeBuildRow(JoinPlan& plan, JoinKeyMap& map, const FieldSlice* fields, size_t count,
                    uint64_t key_column) {
  if (count <= key_column) return Error::ok;
  auto* copies = static_cast<FieldSlice*>(plan.arena.alloc(count * sizeof(FieldSlice), alignof(FieldSlice)));
  if (copies == nullptr) return Error::OutOfMemory;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += fields[i].size();
  char* bytes = total > 0 ? static_cast<char*>(plan.arena.alloc(total, 1)) : nullptr;
  if (total > 0 && bytes == nullptr) return Error::OutOfMemory;
  for (size_t i = 0; i < count; ++i) {
    const size_t len = fields[i].size();
    if (len > 0) std::memcpy(bytes, fields[i].data(), len);
    copies[i] = FieldSlice(len > 0 ? bytes : nullptr, len);
    bytes += len;
  }
  JoinKeyRows* rows = nullptr;
  bool inserted = false;
  TAVIX_TRY(map.keys.getOrPut(copies[key_column], rows, inserted));
  const uint64_t index = map.rows.size();
  map.rows.push_back(JoinBuildRow{copies, count, kNoBuildRow, FieldSlice()});
  if (rows->first == kNoBuildRow)
    rows->first = index;
  else
    map.rows[rows->last].next = index;
  rows->last = index;
  return Error::ok;
}

}  // namespace

const JoinKeyRows* JoinKeyMap::findHashed(FieldSlice key) const noexcept {
  return !indexed || has_long_keys ? keys.find(key) : nullptr;
}

Error JoinKeyMap::finish() noexcept {
  if (keys.size() > kMaxIndexedKeys) return Error::ok;
  keys.forEach([&](std::string_view key, const JoinKeyRows&) {
    if (key.size() > ShortKeyIndex<const JoinKeyRows>::kMaxKeyBytes) has_long_keys = true;
  });
  TAVIX_TRY(short_keys.reserve(keys.size()));
  Error error = Error::ok;
  keys.forEach([&](std::string_view key, const JoinKeyRows& rows) {
    if (error == Error::ok && key.size() <= ShortKeyIndex<const JoinKeyRows>::kMaxKeyBytes)
      error = short_keys.insert(key, &rows);
  });
  TAVIX_TRY(error);
  indexed = true;
  return Error::ok;
}

namespace {

// Opens joined table `j`, names its columns into `tables[j + 1]`, resolves
// its right key and builds its key map. Its slot already holds its alias and
// first column.
Error buildJoinedTable(const JoinPlanRequest& request, size_t j, JoinPlan& plan,
                       std::vector<TableNames>& tables) {
  const JoinClause& join = request.query->joins[j];
  const QueryOptions& options = *request.options;
  auto table = std::make_unique<JoinTable>();
  TAVIX_TRY(openJoinTable(join.table, options.delimiter, *table));
  const OwnedFieldList& header = table->header;

  JoinTableSlot& slot = plan.slots[j + 1];
  slot.column_count = header.count();
  plan.widths[j] = header.count();
  TableNames& names = tables[j + 1];
  TAVIX_TRY(nameTable(plan, header, slot.alias, options.no_header_row, names));

  // The right key within the table itself: the last column of the name.
  TextMap<uint64_t> own;
  for (size_t c = 0; c < names.plain.size(); ++c) {
    TAVIX_TRY(own.put(names.plain[c], c));
    if (!slot.alias.empty()) TAVIX_TRY(own.put(names.qualified[c], c));
  }
  const uint64_t* key = own.find(join.right_column);
  if (key == nullptr) return Error::JoinColumnNotFound;

  JoinKeyMap& map = plan.key_maps[j];
  if (options.no_header_row)
    TAVIX_TRY(storeBuildRow(plan, map, header.items.data(), header.count(), *key));
  for (;;) {
    FieldList record;
    TAVIX_TRY(readNextCsvRecord(table->reader, record));
    if (record.ended()) break;
    TAVIX_TRY(storeBuildRow(plan, map, record.items, record.count, *key));
  }
  return map.finish();
}

// The combined index of a column reference (lower-cased): an unqualified
// name borne by several columns is AmbiguousColumnReference, a name bound to
// no column ColumnNotFound.
Error resolveColumnReference(const JoinPlan& plan, std::string_view reference, uint64_t& index) {
  if (reference.find('.') == std::string_view::npos) {
    const uint64_t* bearers = plan.name_counts.find(reference);
    if (bearers != nullptr && *bearers >= 2) return Error::AmbiguousColumnReference;
  }
  const uint64_t* found = plan.column_map.find(reference);
  if (found == nullptr) return Error::ColumnNotFound;
  index = *found;
  return Error::ok;
}

Error planStagingColumns(const JoinColumnFilter& keep, JoinPlan& plan) {
  const uint64_t total = plan.columnCount();
  std::vector<bool> kept(total);
  uint64_t count = 0;
  for (uint64_t i = 0; i < total; ++i) {
    kept[i] = keep(plan.combined_names[i]);
    if (kept[i]) ++count;
  }
  // Two columns at least, so that no staged record is an empty line (which
  // a reader may take for no record at all); every combined row has two.
  for (uint64_t i = 0; i < total && count < 2; ++i) {
    if (!kept[i]) {
      kept[i] = true;
      ++count;
    }
  }
  // The aggregating executors read the first 256 fields of a record; a
  // column past them would read as empty.
  if (count > kMaxRecordFields) return Error::TooManyColumns;
  for (uint64_t i = 0; i < total; ++i) {
    if (!kept[i]) continue;
    plan.selected_columns.push_back(i);
    plan.output_names.push_back(plan.combined_names[i]);
  }
  return Error::ok;
}

Error planSelectList(const ParsedQuery& query, JoinPlan& plan) {
  if (query.select_star) {
    for (uint64_t i = 0; i < plan.columnCount(); ++i) plan.selected_columns.push_back(i);
    plan.output_names = plan.combined_names;
    return Error::ok;
  }
  // Only column references: an alias, a call or a literal is no key.
  for (const std::string& item : query.select_items) {
    uint64_t index = 0;
    TAVIX_TRY(resolveColumnReference(plan, toLowerCopy(item), index));
    plan.selected_columns.push_back(index);
    plan.output_names.push_back(plan.combined_names[index]);
  }
  return Error::ok;
}

// Raises `span` to one past every combined column the tree names; false
// when a name is no column.
bool widenToWhereColumns(const ConditionNode& root, const JoinPlan& plan, uint64_t& span) {
  const auto take = [&](std::string_view name) {
    const uint64_t* index = plan.column_map.find(name);
    if (index == nullptr) return false;
    span = std::max(span, *index + 1);
    return true;
  };
  const ConditionNode* node = &root;
  for (;;) {
    switch (node->kind) {
      case ConditionKind::comparison: return take(node->comparison.column);
      case ConditionKind::date_function:
        return take(node->date.column) &&
               (node->date.column2.empty() || take(node->date.column2));
      case ConditionKind::and_or:
        if (node->pair == nullptr) return true;
        if (!widenToWhereColumns(node->pair->left, plan, span)) return false;
        node = &node->pair->right;
        continue;
      case ConditionKind::negation:
        if (node->child == nullptr) return true;
        node = node->child.get();
        continue;
    }
    return true;
  }
}

Error planWhere(const ParsedQuery& query, JoinPlan& plan) {
  if (!query.has_where) return Error::ok;
  std::vector<FieldSlice> references;
  references.reserve(plan.column_map.size());
  plan.column_map.forEach(
      [&](std::string_view name, uint64_t) { references.push_back(name); });
  TAVIX_TRY(checkConditionColumns(query.where, references.data(), references.size()));
  plan.where = &query.where;
  if (query.where.kind == ConditionKind::comparison) {
    plan.where_column = *plan.column_map.find(query.where.comparison.column);
    plan.where_ready = true;
  }
  uint64_t span = 0;
  if (widenToWhereColumns(query.where, plan, span) && span <= plan.fromColumnCount())
    plan.where_from_span = span;
  return Error::ok;
}

// An ORDER BY key (lower-cased): a 1-based output position, else a select
// item written like the key, else a column reference by the select-list
// rules, whose value is then taken from the combined row.
Error resolveSortKey(const ParsedQuery& query, const JoinPlan& plan, std::string_view key,
                     bool descending, SortKeySource& out) {
  out.descending = descending;
  uint64_t position = 0;
  if (parseInteger<uint64_t>(key, position) == Error::ok && position >= 1 &&
      position <= plan.selected_columns.size()) {
    out.index = position - 1;
    out.from_output = true;
    return Error::ok;
  }
  if (!query.select_star) {
    for (size_t i = 0; i < query.select_items.size(); ++i) {
      if (equalsIgnoreCase(query.select_items[i], key)) {
        out.index = i;
        out.from_output = true;
        return Error::ok;
      }
    }
  }
  uint64_t index = 0;
  const Error e = resolveColumnReference(plan, key, index);
  if (e == Error::ColumnNotFound) return Error::OrderByColumnNotFound;
  TAVIX_TRY(e);
  out.index = index;
  out.from_output = false;
  return Error::ok;
}

Error planOrderBy(const ParsedQuery& query, JoinPlan& plan) {
  if (!query.has_order_by) return Error::ok;
  SortKeySource key;
  TAVIX_TRY(resolveSortKey(query, plan, query.order_by.primary_column,
                           query.order_by.primary_descending, key));
  plan.order_keys.push_back(key);
  for (const OrderByItem& item : query.order_by.extra_keys) {
    TAVIX_TRY(resolveSortKey(query, plan, item.column, item.descending, key));
    plan.order_keys.push_back(key);
  }
  return Error::ok;
}

// One past the last FROM column that the keys, the output, the WHERE or the
// ORDER BY read.
uint64_t fromColumnsRead(const ParsedQuery& query, const JoinPlan& plan) {
  const uint64_t from_columns = plan.fromColumnCount();
  uint64_t span = 0;
  const auto take = [&](uint64_t index) {
    if (index < from_columns) span = std::max(span, index + 1);
  };
  for (const uint64_t index : plan.left_key_columns) take(index);
  for (const uint64_t index : plan.selected_columns) take(index);
  for (const SortKeySource& key : plan.order_keys)
    if (!key.from_output) take(key.index);
  uint64_t where_span = 0;
  if (query.has_where && widenToWhereColumns(query.where, plan, where_span))
    span = std::max(span, std::min(where_span, from_columns));
  return span;
}

// Renders each build row's output columns for `JoinPlan::direct_rows`
// when the plan has that shape; otherwise leaves the rows as they are.
Error planDirectRows(JoinPlan& plan, char delimiter) {
  if (plan.joinCount() != 1 || (plan.where != nullptr && plan.where_from_span == 0)) return Error::ok;
  const uint64_t from_columns = plan.fromColumnCount();
  size_t m = 0;
  while (m < plan.selected_columns.size() && plan.selected_columns[m] < from_columns) ++m;
  for (size_t i = m; i < plan.selected_columns.size(); ++i)
    if (plan.selected_columns[i] < from_columns) return Error::ok;
  std::vector<FieldSlice> values(plan.selected_columns.size() - m);
  TextBuffer text;
  for (JoinBuildRow& row : plan.key_maps[0].rows) {
    for (size_t i = 0; i < values.size(); ++i) {
      const uint64_t k = plan.selected_columns[m + i] - from_columns;
      values[i] = k < row.field_count ? row.fields[k] : FieldSlice();
    }
    text.clear();
    if (m > 0 && !values.empty()) TAVIX_TRY(appendToTextBuffer(text, std::string_view(&delimiter, 1)));
    TAVIX_TRY(appendCsvRecord(text, values, delimiter));
    TAVIX_TRY(appendToTextBuffer(text, "\n"));
    if (!plan.arena.allocator().copyText(text.view(), row.csv_tail)) return Error::OutOfMemory;
  }
  plan.direct_from_columns.assign(plan.selected_columns.begin(), plan.selected_columns.begin() + m);
  plan.direct_delimiter = delimiter;
  plan.direct_rows = true;
  return Error::ok;
}

}  // namespace

Error openJoinTable(std::string_view path, char delimiter, JoinTable& table) {
  TAVIX_TRY(platform::openForReading(path, table.file));
  TAVIX_TRY(initCsvFileReader(table.reader, table.file));
  table.reader.delimiter = delimiter;
  TAVIX_TRY(readNextCsvRecordOwned(table.reader, table.header));
  return table.header.ended() ? Error::EmptyFile : Error::ok;
}

bool formatQualifiedName(ArenaAllocator& arena, std::string_view alias, std::string_view column,
                         std::string_view& out) noexcept {
  const size_t n = alias.size() + 1 + column.size();
  char* p = static_cast<char*>(arena.alloc(n, 1));
  if (p == nullptr) return false;
  std::memcpy(p, alias.data(), alias.size());
  p[alias.size()] = '.';
  if (!column.empty()) std::memcpy(p + alias.size() + 1, column.data(), column.size());
  out = {p, n};
  return true;
}

Error buildJoinPlan(const JoinPlanRequest& request, JoinPlan& plan) {
  const ParsedQuery& query = *request.query;
  const size_t join_count = query.joins.size();
  plan.slots.assign(join_count + 1, JoinTableSlot());
  plan.key_maps.resize(join_count);
  plan.left_key_columns.assign(join_count, 0);
  plan.widths.assign(join_count, 0);

  std::vector<TableNames> tables(join_count + 1);
  JoinTableSlot& from = plan.slots[0];
  if (join_count > 0) from.alias = query.joins[0].left_alias;
  from.column_count = request.from_header->count();
  TAVIX_TRY(nameTable(plan, *request.from_header, from.alias, request.options->no_header_row,
                      tables[0]));
  plan.combined_names = tables[0].plain;

  for (size_t j = 0; j < join_count; ++j) {
    // The left key over the tables joined so far.
    JoinColumnMap so_far;
    TAVIX_TRY(bindTableNames(tables, plan.slots, j + 1, so_far));
    const uint64_t* left = so_far.find(query.joins[j].left_column);
    if (left == nullptr) return Error::JoinColumnNotFound;
    plan.left_key_columns[j] = *left;

    plan.slots[j + 1].alias = query.joins[j].alias;
    plan.slots[j + 1].first_column = plan.combined_names.size();
    TAVIX_TRY(buildJoinedTable(request, j, plan, tables));
    plan.combined_names.insert(plan.combined_names.end(), tables[j + 1].plain.begin(),
                               tables[j + 1].plain.end());
  }

  TAVIX_TRY(bindTableNames(tables, plan.slots, join_count + 1, plan.column_map));
  for (const FieldSlice name : plan.combined_names) {
    const size_t dot = name.find('.');
    uint64_t* bearers = nullptr;
    bool inserted = false;
    TAVIX_TRY(plan.name_counts.getOrPut(dot == FieldSlice::npos ? name : name.substr(dot + 1),
                                        bearers, inserted));
    ++*bearers;
  }

  if (request.staging_columns != nullptr) {
    TAVIX_TRY(planStagingColumns(*request.staging_columns, plan));
    TAVIX_TRY(planWhere(query, plan));
  } else {
    TAVIX_TRY(planSelectList(query, plan));
    TAVIX_TRY(planWhere(query, plan));
    TAVIX_TRY(planOrderBy(query, plan));
  }
  plan.from_span = fromColumnsRead(query, plan);
  return planDirectRows(plan, request.options->delimiter);
}

}  // namespace tavix
