// The general single-file executor: reads the input sequentially through the
// buffered CSV reader, one record at a time on the calling thread, and runs
// the scan pipeline over each record. It takes every select list the
// expression compiler knows, OFFSET at any size, and any number of ORDER BY
// keys, so the driver sends it every single-file statement that the faster
// executors do not take.
//
// ORDER BY: each key names an output column or, failing that, any header
// column, whose field is then kept beside the row; a key naming neither
// fails the query. A window of LIMIT + OFFSET of at most kTopNMaxRows keeps
// only its best rows; otherwise every row is kept and sorted at the end.
//
// Without ORDER BY memory does not grow with the input (only DISTINCT keeps
// one key per distinct row), and LIMIT ends the reading early.
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/csv/csv_file_reader.h"
#include "engine/csv/csv_header.h"
#include "engine/output/result_writer.h"
#include "exec/scan/scan_executors.h"
#include "exec/scan/scan_pipeline.h"

namespace tavix {

Error runStreamingQuery(const ParsedQuery& query, const InputFile& input,
                        const ResultFile& result, const QueryOptions& options) {
  // The reader holds 256 field slots and the writer a 1 MiB buffer; both
  // live on the heap rather than in the frame.
  auto reader = std::make_unique<CsvFileReader>();
  TAVIX_TRY(initCsvFileReader(*reader, input.handle));
  reader->delimiter = options.delimiter;
  auto writer = std::make_unique<ResultWriter>();
  initResultWriter(*writer, result.handle, options.output_format, options.delimiter);

  OwnedFieldList header;
  TAVIX_TRY(readNextCsvRecordOwned(*reader, header));
  if (header.ended()) return Error::EmptyFile;

  SequentialScanSetup setup;
  TAVIX_TRY(prepareSequentialScan(query, options, header.items, *writer, setup));
  const OutputColumns& columns = setup.columns;
  bool pending_first_row = setup.header_is_first_row;

  std::unique_ptr<OrderedRows> sort;
  if (query.has_order_by) {
    std::vector<SortKeySource> keys;
    TAVIX_TRY(resolveSortKeySources(query, columns, setup.map, keys));
    sort = std::make_unique<OrderedRows>();
    TAVIX_TRY(sort->init(options, columns.labels, std::move(keys), query.limit, query.offset));
  }

  const std::vector<FieldSlice>& values = setup.values;
  UnsortedEmission emission(query, /*periodic_flush=*/true);

  for (;;) {
    const FieldSlice* fields = nullptr;
    size_t field_count = 0;
    if (pending_first_row) {
      pending_first_row = false;
      fields = header.items.data();
      field_count = header.count();
    } else {
      FieldList record;
      TAVIX_TRY(readNextCsvRecord(*reader, record));
      if (record.ended()) break;
      fields = record.items;
      field_count = record.count;
    }

    bool kept = false;
    TAVIX_TRY(setup.keepRow(fields, field_count, kept));
    if (!kept) continue;
    if (!sort) {
      bool stop = false;
      TAVIX_TRY(emitUnsortedRow(*writer, emission, values, stop));
      if (stop) break;
    } else {
      TAVIX_TRY(sort->add(values, fields, field_count));
    }
  }

  if (sort) TAVIX_TRY(sort->sortAndEmit(query.distinct, *writer));
  return finishScanOutput(*writer);
}

}  // namespace tavix
