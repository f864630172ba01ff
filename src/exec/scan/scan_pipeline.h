// The steps every scan executor runs between reading a record and writing a
// row: output columns and their labels, the WHERE filter, projection,
// DISTINCT, unsorted emission with OFFSET and LIMIT, ORDER BY key
// resolution, sort gathering, sort and window, sorted emission, finish.
//
// An executor owns one instance of each piece it needs for the whole query
// and drives them in that order; the pieces own their memory (standard
// containers, arenas, text buffers) and release it when destroyed, so every
// exit path is clean. How records are read (buffered reader, mapping,
// standard input, worker threads) is the executor's own business.
//
// Threads: building happens on the executor's thread. Afterwards
// `OutputColumns` and `RowFilter` (engine/expr/row_filter.h) are read-only
// and may be shared by any number of workers at once (`projectRow` and
// `RowFilter::test` touch only their arguments); `DistinctRowSet`,
// `UnsortedEmission` and `SortGather` belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "exec/executor.h"
#include "engine/csv/csv_header.h"
#include "engine/csv/field_access.h"
#include "engine/expr/row_filter.h"
#include "engine/expr/scalar_expr.h"
#include "engine/output/result_writer.h"
#include "engine/output/text_buffer.h"
#include "exec/sort/row_sorter.h"
#include "sql/parsed_query.h"

namespace tavix {

// Unsorted output is written to the result file after this many rows (on top
// of the writer's own write-out whenever its 1 MiB buffer fills), so a long
// scan shows progress in the file without a write per row.
inline constexpr uint64_t kUnsortedFlushRows = 32768;

// Initial capacity of the sort text buffer. Sorted queries without a small
// window keep every kept row until the end; starting at 16 MiB spares the
// first two dozen doublings of a buffer that is going to be large anyway.
inline constexpr uint64_t kSortTextInitialBytes = uint64_t{16} << 20;

enum class OutputColumnKind : uint8_t { column = 0, expression = 1 };

// One compiled select item: the field at `column`, or the value of `expr`.
struct OutputColumnSpec {
  uint64_t column = 0;   // kind column: source column index
  ScalarExpr expr;       // kind expression; views into the select item text
  OutputColumnKind kind = OutputColumnKind::column;
};

// The output columns of a query in select order, with their labels (the
// names given to `setResultColumns`). Labels are views into the select items
// (aliases, expression texts) or into the header names handed to
// `buildOutputColumns`, which must therefore outlive this object.
struct OutputColumns {
  std::vector<OutputColumnSpec> specs;
  std::vector<FieldSlice> labels;

  size_t size() const noexcept { return specs.size(); }
};

// Builds the output columns. `header_names` are the names as read (one per
// column, in order; generated names without a header row); `map` was built
// from them.
//  - SELECT *: one column per header position, labelled with the trimmed
//    header name (case kept).
//  - Otherwise per item: the alias is split off; an expression is compiled
//    against `map` and labelled with the alias or its text; anything else is
//    a column looked up by its lower-cased text (no trimming), labelled with
//    the alias or the trimmed header name.
// Returns the compiler's error (ColumnNotFound, NestedFunctionNotSupported,
// TooManyArgs), ArithmeticExpressionsNotSupported for a non-column holding
// '*' or '/', ColumnNotFound for any other non-column.
[[nodiscard]] Error buildOutputColumns(const ParsedQuery& query,
                                       std::span<const FieldSlice> header_names,
                                       const ColumnIndexMap& map, OutputColumns& out);

// Fills values[0, columns.size()) with the row's output values: a column
// takes the record's field (the empty text past a short record), an
// expression its value on the record, allocated from `row_arena`, which is
// reset (capacity kept) first. The values are valid until the next reset of
// the arena and while the record's fields are. Never fails.
void projectRow(const OutputColumns& columns, const FieldSlice* fields, size_t field_count,
                ArenaAllocator& row_arena, FieldSlice* values) noexcept;

// Tests the WHERE on `record`, cutting only the `filter_span` leading fields
// it reads, and sets `pass`; a passing record is then cut whole and
// projected into values[0, columns.size()) by `projectRow`. Returns the
// errors of `RecordFields::need` and `RowFilter::test`.
[[nodiscard]] inline Error filterAndProject(RecordFields& record, size_t filter_span,
                                            const RowFilter& filter, const OutputColumns& columns,
                                            ArenaAllocator& scratch, ArenaAllocator& row_arena,
                                            FieldSlice* values, bool& pass) noexcept {
  TAVIX_TRY(record.need(filter_span, scratch));
  TAVIX_TRY(filter.test(record.fields(), record.count(), pass));
  if (!pass) return Error::ok;
  TAVIX_TRY(record.need(kAllFields, scratch));
  projectRow(columns, record.fields(), record.count(), row_arena, values);
  return Error::ok;
}

// The set of rows seen so far, for DISTINCT. A row's key is its whole
// sequence of values (each value's length, then its bytes), so two rows are
// duplicates exactly when all their values are equal, however long they are.
// Keys are copied into the set's arena once, when first seen.
class DistinctRowSet {
 public:
  DistinctRowSet() = default;
  DistinctRowSet(const DistinctRowSet&) = delete;
  DistinctRowSet& operator=(const DistinctRowSet&) = delete;

  // Sets `fresh` and records the row when its values were not seen before.
  // Returns OutOfMemory when the key cannot be kept.
  [[nodiscard]] Error insertRow(std::span<const FieldSlice> values, bool& fresh);

  // The same for a row given as one text (a rendered row).
  [[nodiscard]] Error insertText(std::string_view text, bool& fresh);

 private:
  std::string scratch_;  // the key of the current row; keeps its capacity
  ArenaAllocator arena_;
  std::unordered_set<std::string_view> seen_;
};

// The column map, output columns and row filter of a sequential scan over
// one header record, with the output started, and the per-record state of
// its WHERE, projection and DISTINCT steps. The names are views into the
// header record's fields (or the generated "c1".."cN" names, owned here), so
// the header record must outlive this object.
struct SequentialScanSetup {
  std::vector<std::string> generated_names;
  std::vector<FieldSlice> names;
  ColumnIndexMap map;
  OutputColumns columns;
  RowFilter filter;
  // Without a header row the header record is also the first data row.
  bool header_is_first_row = false;
  bool distinct = false;
  ArenaAllocator row_arena;
  std::vector<FieldSlice> values;  // the kept row's output values
  DistinctRowSet distinct_rows;

  // Tests the WHERE on one record and, when it passes, projects it into
  // `values`; with DISTINCT a row seen before is not kept either. Sets
  // `kept`. Returns the errors of RowFilter::test and
  // DistinctRowSet::insertRow.
  [[nodiscard]] Error keepRow(const FieldSlice* fields, size_t field_count, bool& kept) {
    TAVIX_TRY(filter.test(fields, field_count, kept));
    if (!kept) return Error::ok;
    projectRow(columns, fields, field_count, row_arena, values.data());
    if (distinct) TAVIX_TRY(distinct_rows.insertRow(values, kept));
    return Error::ok;
  }
};

// Prepares `setup` from the first record of the input and writes the output
// header through `writer`. Returns the errors of buildOutputColumns,
// setResultColumns and RowFilter::init.
[[nodiscard]] Error prepareSequentialScan(const ParsedQuery& query, const QueryOptions& options,
                                          std::span<const FieldSlice> header_fields,
                                          ResultWriter& writer, SequentialScanSetup& setup);

// OFFSET and LIMIT over rows written as they come (no ORDER BY). Counters are
// 64-bit, so any LIMIT + OFFSET is exact.
struct UnsortedEmission {
  int64_t limit = -1;  // -1: none
  int64_t offset = 0;
  uint64_t skipped = 0;
  uint64_t written = 0;
  bool flush_periodically = true;  // flush every kUnsortedFlushRows rows

  UnsortedEmission() = default;
  UnsortedEmission(const ParsedQuery& query, bool periodic_flush) noexcept
      : limit(query.limit), offset(query.offset), flush_periodically(periodic_flush) {}
};

// Offers one kept row: with LIMIT 0 nothing is written and the scan stops;
// rows are skipped while fewer than OFFSET have been; otherwise the row is
// written, and the scan stops once LIMIT rows are written. Sets `stop` when
// no further record should be read. Returns the writer's error.
[[nodiscard]] Error emitUnsortedRow(ResultWriter& writer, UnsortedEmission& emission,
                                    std::span<const FieldSlice> values, bool& stop) noexcept;

// Returns, in `index`, the output column an ORDER BY key (lower-cased) names,
// and whether there is one: a 1-based position "n" within the labels (by the
// integer rule, so "+2" is 2); else the first label equal to the key after
// ASCII lower-casing; else the first output column whose lower-cased header
// name equals the key. `lowered_header` are the map's lower-cased names.
// Cannot fail; returns ok.
[[nodiscard]] Error resolveOrderByColumn(std::string_view key, std::span<const FieldSlice> labels,
                                         std::span<const OutputColumnSpec> specs,
                                         std::span<const FieldSlice> lowered_header,
                                         uint64_t& index, bool& found) noexcept;

// Where the value of one ORDER BY key comes from.
struct SortKeySource {
  uint64_t index = 0;        // output position, or source column index
  bool from_output = true;   // false: the record's field at `index`
  bool descending = false;
};

// Resolves one ORDER BY key (lower-cased): an output column by
// `resolveOrderByColumn`, else the first header column (selected or not)
// whose lower-cased name equals the key. Returns OrderByColumnNotFound when
// the key names neither.
[[nodiscard]] Error resolveSortKeySource(std::string_view key, bool descending,
                                         const OutputColumns& columns, const ColumnIndexMap& map,
                                         SortKeySource& out);

// Resolves every ORDER BY key of the query, the first and all further ones,
// by `resolveSortKeySource`. Returns OrderByColumnNotFound when a key names
// no column.
[[nodiscard]] Error resolveSortKeySources(const ParsedQuery& query, const OutputColumns& columns,
                                          const ColumnIndexMap& map,
                                          std::vector<SortKeySource>& out);

// Returns the value of a key for one row: the output value, or the record's
// field (the empty text past a short record).
inline FieldSlice sortKeyValue(const SortKeySource& source, const FieldSlice* values,
                               const FieldSlice* fields, size_t field_count) noexcept {
  if (source.from_output) return values[source.index];
  return source.index < field_count ? fields[source.index] : FieldSlice();
}

// Writes records[window.start, window.end) as rendered rows. With
// `distinct`, a row text already written is skipped (it still takes its
// place in the window). Returns the writer's error or OutOfMemory.
[[nodiscard]] Error emitSortedRows(ResultWriter& writer, std::span<const SortKeyRecord> records,
                                   SortWindow window, bool distinct);

// The rows of an ORDER BY with any number of keys, sorted by every key with
// ties in input order, and the window of OFFSET and LIMIT written at the
// end. Each kept row's key values are read once (numbers by the number
// rule) and the row is rendered as it will be emitted (`appendRenderedRow`,
// every JSON value a string). When LIMIT + OFFSET is at most kTopNMaxRows
// only the best rows are held, in a `TopNHeap` whose slots own each held
// row's texts, so memory follows the window and not the input; otherwise
// every row is gathered into one text buffer and sorted at the end by
// `sortKeyRecords` (radix sort on a numeric first key). Used by one thread.
class OrderedRows {
 public:
  // Prepares for rows of these labels (which must outlive this object) in
  // the options' format, sorted by `keys` (at least one), for a statement's
  // LIMIT (-1: none) and OFFSET. Returns OutOfMemory.
  [[nodiscard]] Error init(const QueryOptions& options, std::span<const FieldSlice> labels,
                           std::vector<SortKeySource> keys, int32_t limit, int32_t offset);

  // Takes one kept row: `values` are its output values, `fields` the record
  // that keys not among the output read. Returns OutOfMemory.
  [[nodiscard]] Error add(std::span<const FieldSlice> values, const FieldSlice* fields,
                          size_t field_count);

  // Sorts the rows and writes the window, skipping repeated rows with
  // `distinct` (see emitSortedRows). Returns OutOfMemory or the writer's
  // error.
  [[nodiscard]] Error sortAndEmit(bool distinct, ResultWriter& writer);

 private:
  // A further key's value of a gathered row: its number and its text in
  // the gathering buffer.
  struct PendingKey {
    double number = 0;
    TextSpan text;
  };

  [[nodiscard]] Error addToHeap(std::span<const FieldSlice> values, const FieldSlice* fields,
                                size_t field_count);
  [[nodiscard]] Error addGathered(std::span<const FieldSlice> values, const FieldSlice* fields,
                                  size_t field_count);

  std::vector<SortKeySource> keys_;
  std::unique_ptr<bool[]> more_descending_;  // keys_[1..] directions
  RecordOrder order_;
  size_t more_count_ = 0;
  int32_t limit_ = -1;
  int32_t offset_ = 0;
  RowForm form_;
  TextBuffer key_text_;                // the JSON member keys back to back
  std::vector<FieldSlice> json_keys_;  // one key per column, views into key_text_

  // Every row gathered: key texts and rendered rows in `text_`.
  TextBuffer text_;
  std::vector<PendingSortEntry> entries_;
  std::vector<PendingKey> more_entries_;  // more_count_ per row

  // The best rows only: slot i of the heap owns slot_text_[i] (its key texts
  // and rendered row) and slot_more_[i * more_count_, ...).
  bool top_n_ = false;
  TopNHeap heap_;
  std::vector<TextBuffer> slot_text_;
  std::vector<OrderValue> slot_more_;
  std::vector<OrderValue> candidate_more_;
};

// Writes the closing text ("[]" or "\n]" and "\n" for the JSON array) and
// flushes the writer. Returns the writer's error.
[[nodiscard]] Error finishScanOutput(ResultWriter& writer) noexcept;

}  // namespace tavix
