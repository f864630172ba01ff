#include "engine/csv/mapped_input.h"

namespace tavix {

Error openMappedCsv(platform::File file, CsvLayout layout, MappedCsv& out) {
  TAVIX_TRY(platform::fileSize(file, out.size));
  // An empty file maps to no bytes, whose header read is NoHeader.
  TAVIX_TRY(platform::mapFileReadOnly(file, out.size, out.view));
  TAVIX_TRY(readCsvHeader(out.view.bytes(), layout, out.header));
  out.map.assign(out.header);
  return Error::ok;
}

}  // namespace tavix
