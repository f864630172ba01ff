#include "exec/aggregate/aggregate_input.h"

namespace tavix {

Error openAggregateInput(const ParsedQuery& query, PreopenedSource source,
                         const QueryOptions& options, AggregateInput& input) {
  if (source.present) {
    input.handle = source.handle;
  } else {
    TAVIX_TRY(platform::openForReading(query.source, input.opened));
    input.handle = input.opened.get();
  }
  uint64_t size = 0;
  TAVIX_TRY(platform::fileSize(input.handle, size));
  if (size == 0) return Error::EmptyFile;
  return openMappedCsv(input.handle, options.csvLayout(), input.csv);
}

Error openFedInput(RecordFeed& feed, const QueryOptions& options, AggregateInput& input) {
  input.feed = &feed;
  input.csv.size = feed.inputBytes();
  TAVIX_TRY(readCsvHeader(feed.headerText(), options.csvLayout(), input.csv.header));
  input.csv.map.assign(input.csv.header);
  return Error::ok;
}

}  // namespace tavix
