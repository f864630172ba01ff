#include "exec/aggregate/aggregate_input.h"

namespace tavix {

AggregateInput::~AggregateInput() {
  view.unmap();
  if (owns_handle) platform::closeFile(handle);
}

Error openAggregateInput(const ParsedQuery& query, PreopenedSource source,
                         const QueryOptions& options, AggregateInput& input) {
  if (source.present) {
    input.handle = source.handle;
  } else {
    TAVIX_TRY(platform::openForReading(query.source, input.handle));
    input.owns_handle = true;
  }
  TAVIX_TRY(platform::fileSize(input.handle, input.size));
  if (input.size == 0) return Error::EmptyFile;
  TAVIX_TRY(platform::mapFileReadOnly(input.handle, input.size, input.view));
  TAVIX_TRY(readCsvHeader(input.view.bytes(), options.csvLayout(), input.header));
  input.map.assign(input.header);
  return Error::ok;
}

}  // namespace tavix
