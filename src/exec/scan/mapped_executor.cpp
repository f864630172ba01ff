// runMappedQuery: any select list over one large file, on the query thread,
// from a read-only mapping of the whole file.
//
// Fields are views into the mapping; only a field holding doubled quotes is
// copied (into a per-record arena). Without ORDER BY rows are written as
// they are found, after OFFSET, and LIMIT ends the scan; with ORDER BY (any
// number of keys) the kept rows go to `OrderedRows`, which holds only the
// best rows for a small window, and the sorted window is written at the end.
#include <utility>
#include <vector>

#include "engine/csv/chunk_reader.h"
#include "engine/csv/csv_header.h"
#include "engine/csv/field_access.h"
#include "engine/expr/row_filter.h"
#include "engine/output/result_writer.h"
#include "exec/scan/mapped_scan.h"
#include "exec/scan/scan_executors.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"

namespace tavix {

Error runMappedQuery(const ParsedQuery& query, const InputFile& input, const ResultFile& result,
                     const QueryOptions& options) {
  MappedPlainScan scan;
  TAVIX_TRY(openMappedPlainScan(query, input, result, options, scan));
  const char* const data = scan.input.view.data();
  const uint64_t size = scan.input.size;
  const ColumnIndexMap& map = scan.input.map;
  const OutputColumns& columns = scan.columns;
  const RowFilter& filter = scan.filter;
  ResultWriter& writer = scan.writer;

  const bool sorted = query.has_order_by;
  OrderedRows ordered;
  if (sorted) {
    std::vector<SortKeySource> keys;
    TAVIX_TRY(resolveSortKeySources(query, columns, map, keys));
    TAVIX_TRY(ordered.init(options, columns.labels, std::move(keys), query.limit, query.offset));
  }

  std::vector<FieldSlice> values(columns.size());
  RecordFields record;
  const size_t filter_span = filterFieldSpan(query, map);
  ArenaAllocator record_arena;
  ArenaAllocator row_arena;
  DistinctRowSet distinct_rows;
  UnsortedEmission emission(query, true);

  bool ran_over = false;  // one range: the last record may end without LF
  TAVIX_TRY(forEachMappedLine(
      data, scan.input.header.data_start, size, options.delimiter, ran_over,
      [&](FieldSlice line, bool quote_free, bool& stop) -> Error {
        // The WHERE reads only its own fields; the record is split whole
        // once it passes.
        record.reset(line, quote_free, options.delimiter);
        bool pass = false;
        TAVIX_TRY(filterAndProject(record, filter_span, filter, columns, record_arena, row_arena,
                                   values.data(), pass));
        if (!pass) return Error::ok;
        if (query.distinct) {
          bool fresh = false;
          TAVIX_TRY(distinct_rows.insertRow(values, fresh));
          if (!fresh) return Error::ok;
        }
        if (sorted) return ordered.add(values, record.fields(), record.count());
        return emitUnsortedRow(writer, emission, values, stop);
      }));

  if (sorted) TAVIX_TRY(ordered.sortAndEmit(query.distinct, writer));
  return finishScanOutput(writer);
}

}  // namespace tavix
