#include "engine/csv/record_bound.h"

namespace tavix {

namespace {

// The length of a record of `bytes` bytes whose last one may be a CR that
// the readers drop.
uint64_t measured(uint64_t bytes, bool ends_cr) noexcept { return bytes - (ends_cr ? 1 : 0); }

}  // namespace

Error watchRecordLengths(RecordLengthWatch& w, const char* data, size_t length) noexcept {
  size_t pos = 0;
  while (pos < length) {
    const RecordEnd end = scanToRecordEnd(data, length, pos, w.state, w.delimiter);
    const size_t stop = end.found ? end.position : length;
    if (stop > pos) {
      w.open_bytes += stop - pos;
      w.open_ends_cr = data[stop - 1] == '\r';
    }
    if (!end.found) {
      // A CR that ends the chunk may still be dropped; any further byte
      // would then make the record too long.
      if (w.open_bytes > w.max_record_bytes + 1 ||
          (w.open_bytes > w.max_record_bytes && !w.open_ends_cr))
        return Error::StreamTooLong;
      return Error::ok;
    }
    if (measured(w.open_bytes, w.open_ends_cr) > w.max_record_bytes) return Error::StreamTooLong;
    w.open_bytes = 0;
    w.open_ends_cr = false;
    w.state = RecordScanState::at_field_start;
    pos = end.position + 1;
  }
  return Error::ok;
}

Error finishRecordLengths(const RecordLengthWatch& w) noexcept {
  return measured(w.open_bytes, w.open_ends_cr) > w.max_record_bytes ? Error::StreamTooLong
                                                                     : Error::ok;
}

}  // namespace tavix
