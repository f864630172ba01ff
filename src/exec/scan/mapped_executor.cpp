// runMappedQuery: plain columns over one large file, on the query thread,
// from a read-only mapping of the whole file.
//
// Fields are views into the mapping; only a field holding doubled quotes is
// copied (into a per-record arena). Without ORDER BY rows are written as
// they are found and LIMIT ends the scan; with ORDER BY every kept row is
// rendered into the sort gather and the sorted rows are written at the end.
// OFFSET and further ORDER BY keys are never read: the driver sends such
// statements elsewhere.
#include <optional>
#include <vector>

#include "engine/csv/csv_header.h"
#include "engine/csv/csv_records.h"
#include "engine/output/result_writer.h"
#include "exec/scan/parallel_scan.h"
#include "exec/scan/scan_executors.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"

namespace tavix {

namespace {

// Where the single ORDER BY key takes its value: an output column, or any
// header column of the record (selected or not).
[[nodiscard]] Error resolveMappedSortSource(const ParsedQuery& query, const OutputColumns& columns,
                                            const ColumnIndexMap& map, SortKeySource& out) {
  const std::string& key = query.order_by.primary_column;
  uint64_t index = 0;
  bool found = false;
  TAVIX_TRY(resolveOrderByColumn(key, columns.labels, columns.specs, map.loweredNameSlices(), index,
                                 found));
  out.descending = query.order_by.primary_descending;
  if (found) {
    out.index = index;
    out.from_output = true;
    return Error::ok;
  }
  const std::optional<size_t> column = map.find(key);
  if (!column) return Error::OrderByColumnNotFound;
  out.index = *column;
  out.from_output = false;
  return Error::ok;
}

}  // namespace

Error runMappedQuery(const ParsedQuery& query, const InputFile& input, const ResultFile& result,
                     const QueryOptions& options) {
  MappedPlainScan scan;
  TAVIX_TRY(openMappedPlainScan(query, input, result, options, scan));
  const char* const data = scan.view.data();
  const uint64_t size = scan.size;
  const ColumnIndexMap& map = scan.map;
  const OutputColumns& columns = scan.columns;
  const RowFilter& filter = scan.filter;
  ResultWriter& writer = scan.writer;

  const bool sorted = query.has_order_by;
  SortGather gather;
  SortKeySource sort_source;
  if (sorted) {
    TAVIX_TRY(gather.init(options, columns.labels));
    TAVIX_TRY(resolveMappedSortSource(query, columns, map, sort_source));
  }

  std::vector<FieldSlice> values(columns.size());
  RecordFields record;
  const size_t filter_span = filterFieldSpan(query, map);
  ArenaAllocator record_arena;
  ArenaAllocator row_arena;
  DistinctRowSet distinct_rows;
  UnsortedEmission emission(query, true);
  emission.offset = 0;  // this executor never skips rows

  bool ran_over = false;  // one range: the last record may end without LF
  TAVIX_TRY(forEachMappedLine(
      data, scan.header.data_start, size, options.delimiter, ran_over,
      [&](FieldSlice line, bool quote_free, bool& stop) -> Error {
        // The WHERE reads only its own fields; the record is split whole
        // once it passes.
        record.reset(line, quote_free, options.delimiter);
        TAVIX_TRY(record.need(filter_span, record_arena));
        bool pass = false;
        TAVIX_TRY(filter.test(record.fields(), record.count(), pass));
        if (!pass) return Error::ok;
        TAVIX_TRY(record.need(kAllFields, record_arena));
        const FieldSlice* fields = record.fields();
        const size_t count = record.count();
        projectRow(columns, fields, count, row_arena, values.data());
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(distinct_rows.insertRow(values, fresh));
          if (!fresh) return Error::ok;
        }
        if (sorted) return gather.addRow(sortKeyValue(sort_source, values.data(), fields, count), values);
        return emitUnsortedRow(writer, emission, values, stop);
      }));

  if (sorted) {
    std::vector<SortKeyRecord> records;
    SortWindow window;
    TAVIX_TRY(gather.sortSingleKey(sort_source.descending, query.limit, 0, records, window));
    TAVIX_TRY(emitSortedRows(writer, records, window, query.distinct));
  }
  return finishScanOutput(writer);
}

}  // namespace tavix
