// The plan of a hash join: the tables side by side in one combined row, the
// key maps of the joined tables, the names by which columns are referenced,
// the output columns and the WHERE.
//
// Combined row: the columns of the FROM table, then those of each joined
// table in join order; a column is known by its combined index. Column names
// are the header fields as the buffered reader returns them (quotes removed),
// with 'A'..'Z' lower-cased and nothing trimmed, so a header field with a
// blank at either end is never reached by a select item (the parser trims
// those). Without a header row the names are c1, c2, ... in every table.
//
// Name rules, applied by `JoinColumnMap`:
//   - a plain name is the FIRST column bearing it over all tables;
//   - alias "." name is the LAST column of that table bearing the name, and
//     wins over a header literally named so;
//   - an unqualified select item (or ORDER BY key) borne by two or more
//     columns (counting the part after a "." of a header name) is ambiguous.
// A left ON key resolves over the tables joined so far by these rules; a
// right ON key within its own table, the LAST column of that name winning.
//
// Every joined table is read once, whole, into a `JoinKeyMap`: key text to
// the table's records in file order. Keys compare as exact bytes. Keys and
// fields of the stored records are copies in the plan's arena; the map
// tables and row arrays use the C heap through the standard containers.
//
// `buildJoinPlan` runs on the executor's thread before any output exists.
// The finished plan is only read: any number of probing threads may share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/short_key_index.h"
#include "common/text.h"
#include "common/text_map.h"
#include "engine/csv/csv_file_reader.h"
#include "exec/executor.h"
#include "exec/scan/scan_pipeline.h"
#include "sql/parsed_query.h"

namespace tavix {

// One table of the join, the FROM table first.
struct JoinTableSlot {
  std::string_view alias;  // lower-cased; empty when the table has none
  uint64_t first_column = 0;  // combined index of its first column
  uint64_t column_count = 0;  // fields of its header record
};

inline constexpr uint64_t kNoBuildRow = UINT64_MAX;

// One stored record of a joined table: its own fields (possibly fewer or
// more than the table's columns) and the next record with the same key.
struct JoinBuildRow {
  const FieldSlice* fields = nullptr;
  uint64_t field_count = 0;
  uint64_t next = kNoBuildRow;
  // With `JoinPlan::direct_rows`: this row's output columns rendered as the
  // end of a CSV record (see there).
  FieldSlice csv_tail;
};

// The records of one key, as a chain through `JoinBuildRow::next` in file
// order.
struct JoinKeyRows {
  uint64_t first = kNoBuildRow;
  uint64_t last = kNoBuildRow;
};

struct JoinKeyMap {
  TextMap<JoinKeyRows> keys;
  std::vector<JoinBuildRow> rows;  // in file order
  // Up to kMaxIndexedKeys keys (a table that stays in the caches), every
  // key of at most ShortKeyIndex::kMaxKeyBytes is also in `short_keys`.
  static constexpr size_t kMaxIndexedKeys = size_t{1} << 16;
  ShortKeyIndex<const JoinKeyRows> short_keys;
  bool indexed = false;
  bool has_long_keys = false;  // some key is longer

  // Builds `short_keys` once every record is stored. Returns OutOfMemory.
  [[nodiscard]] Error finish() noexcept;

  // The rows of `key`, or null; valid once `finish` has run. The short-key
  // look-up is inlined into the probe loops; the hashed one is not.
  const JoinKeyRows* find(FieldSlice key) const noexcept {
    if (indexed && key.size() <= ShortKeyIndex<const JoinKeyRows>::kMaxKeyBytes)
      return short_keys.find(key);
    return findHashed(key);
  }

 private:
  const JoinKeyRows* findHashed(FieldSlice key) const noexcept;
};

// Column reference (plain or qualified) to combined index.
using JoinColumnMap = TextMap<uint64_t>;

// Which combined columns a staging pass writes, by lower-cased name.
using JoinColumnFilter = std::function<bool(std::string_view lowered_name)>;

struct JoinPlan {
  JoinPlan() = default;
  JoinPlan(const JoinPlan&) = delete;
  JoinPlan& operator=(const JoinPlan&) = delete;

  ArenaAllocator arena;  // names, qualified names, keys and build-row fields
  std::vector<JoinTableSlot> slots;
  std::vector<FieldSlice> combined_names;
  std::vector<JoinKeyMap> key_maps;         // per join
  std::vector<uint64_t> left_key_columns;  // per join: combined index looked up
  std::vector<uint64_t> widths;            // per join: columns of the joined table
  JoinColumnMap column_map;
  TextMap<uint64_t> name_counts;  // name after its first "." -> columns bearing it
  std::vector<uint64_t> selected_columns;  // combined index per output column
  std::vector<FieldSlice> output_names;
  const ConditionNode* where = nullptr;  // null without WHERE
  uint64_t where_column = 0;             // a WHERE of one comparison: its column
  bool where_ready = false;
  // When every column the WHERE names is a FROM column: one past the last
  // of them, so the WHERE can be tested on a FROM record before any probe.
  // 0 otherwise.
  uint64_t where_from_span = 0;
  std::vector<SortKeySource> order_keys;  // ORDER BY, over output and combined row
  // One past the last FROM column anything reads (keys, output, WHERE,
  // ORDER BY): a FROM record is cut no further.
  uint64_t from_span = 0;
  // A join of one table whose output is the FROM columns `direct_from_columns`
  // and then columns of the joined table, and whose WHERE (if any) names
  // FROM columns only: every build row holds the CSV text of its output
  // columns (`csv_tail`, rendered with `direct_delimiter`), so a CSV row is
  // the FROM values and that text.
  bool direct_rows = false;
  std::vector<uint64_t> direct_from_columns;
  char direct_delimiter = ',';

  uint64_t joinCount() const noexcept { return key_maps.size(); }
  uint64_t columnCount() const noexcept { return combined_names.size(); }
  uint64_t fromColumnCount() const noexcept { return slots.empty() ? 0 : slots[0].column_count; }
};

// Returns alias "." column as a new text from `arena`; false when it cannot
// be had.
bool formatQualifiedName(ArenaAllocator& arena, std::string_view alias, std::string_view column,
                         std::string_view& out) noexcept;

// An open table of the join: its file, the buffered reader over it (past
// the header record) and the header record. The reader holds 256 field
// slots, so the table lives on the heap rather than in a frame.
struct JoinTable {
  JoinTable() = default;
  ~JoinTable() { platform::closeFile(file); }
  JoinTable(const JoinTable&) = delete;
  JoinTable& operator=(const JoinTable&) = delete;

  platform::File file;
  CsvFileReader reader;
  OwnedFieldList header;
};

// Opens `path` relative to the current directory, starts the reader on it
// with `delimiter` and reads the header record. Returns EmptyFile for a file
// without any record, and the errors of opening and reading.
[[nodiscard]] Error openJoinTable(std::string_view path, char delimiter, JoinTable& table);

// What `buildJoinPlan` plans for.
struct JoinPlanRequest {
  const ParsedQuery* query = nullptr;
  const QueryOptions* options = nullptr;
  // The FROM table's header record, as the buffered reader returns it.
  const OwnedFieldList* from_header = nullptr;
  // Staging: write these columns, as for SELECT *, instead of the select
  // list; ORDER BY is not planned.
  const JoinColumnFilter* staging_columns = nullptr;
};

// Plans the join: the FROM names, each joined table opened, its header read,
// its ON keys resolved and its key map built, the column maps, the output
// columns, the WHERE and the ORDER BY keys. Errors: EmptyFile (a table
// without any record), JoinColumnNotFound (an ON key that is no column of
// its side), TooManyColumns (a stored record of more than 256 fields; a
// staging pass of more than 256 columns), AmbiguousColumnReference,
// ColumnNotFound (a select item or WHERE column), OrderByColumnNotFound,
// OutOfMemory, and the errors of opening and reading the joined tables.
[[nodiscard]] Error buildJoinPlan(const JoinPlanRequest& request, JoinPlan& plan);

}  // namespace tavix
