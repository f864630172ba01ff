// The executor for statements over standard input without aggregates or
// GROUP BY. Standard input can be read only once and cannot be mapped, so
// this is a single pass on the query thread: the header record, then one
// record at a time through the scan pipeline, each kept row written right
// after its projection. WHERE, DISTINCT, LIMIT and OFFSET are honoured;
// statements with ORDER BY never come here (the driver spools standard input
// to a file and gives it to the streaming executor), nor do joins (refused).
//
// A UTF-8 byte-order mark at the very start of the input is dropped, as it
// is for files, so the first header name is found by its plain text.
//
// Memory held across records is bounded by the output columns, the row
// arena and, with DISTINCT, the distinct keys; once LIMIT is reached the
// rest of the input stays unread.
#include <memory>
#include <vector>

#include "engine/csv/csv_header.h"
#include "engine/csv/stdin_record_reader.h"
#include "engine/output/result_writer.h"
#include "exec/scan/scan_executors.h"
#include "exec/scan/scan_pipeline.h"
#include "platform/platform.h"

namespace tavix {

Error runStdinQuery(const ParsedQuery& query, const ResultFile& result,
                    const QueryOptions& options) {
  platform::File input;
  TAVIX_TRY(platform::standardInput(input));

  // The reader's 256 KiB buffer and the writer's 1 MiB buffer live on the
  // heap rather than in the frame.
  auto reader = std::make_unique<StdinRecordReader>(input, options.delimiter);
  reader->skip_byte_order_mark = true;
  auto writer = std::make_unique<ResultWriter>();
  initResultWriter(*writer, result.handle, options.output_format, options.delimiter);

  OwnedFieldList header;
  TAVIX_TRY(readStdinHeader(*reader, header));
  if (header.ended()) return Error::EmptyFile;

  SequentialScanSetup setup;
  TAVIX_TRY(prepareSequentialScan(query, options, header.items, *writer, setup));
  bool pending_first_row = setup.header_is_first_row;

  // No flush between rows: the writer writes its buffer out when it fills.
  UnsortedEmission emission(query, /*periodic_flush=*/false);
  StdinRecord record;

  for (;;) {
    const std::vector<FieldSlice>* current = &record.fields;
    if (pending_first_row) {
      pending_first_row = false;
      current = &header.items;
    } else {
      TAVIX_TRY(readStdinRecord(*reader, record));
      if (record.atEnd()) break;
    }
    const FieldSlice* fields = current->data();
    const size_t field_count = current->size();

    bool kept = false;
    TAVIX_TRY(setup.keepRow(fields, field_count, kept));
    if (!kept) continue;
    bool stop = false;
    TAVIX_TRY(emitUnsortedRow(*writer, emission, setup.values, stop));
    if (stop) break;
  }
  return finishScanOutput(*writer);
}

}  // namespace tavix
