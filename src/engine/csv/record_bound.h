// How long one header row or record may be, and the watch that measures the
// records of a stream copied chunk by chunk.
//
// Input that never ends a line (an endless stream, a device, a damaged
// file) must not grow a reader's buffer until the process dies: every
// buffered reader holds at most `kMaxRecordBytes` of one record (its bytes
// without the line end) and fails with StreamTooLong past that, so a call
// answers at once instead. Records within the bound read exactly as before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "engine/csv/csv_records.h"

namespace tavix {

// 256 MiB: as large as the largest answer a call can return.
inline constexpr size_t kMaxRecordBytes = size_t{256} << 20;

// Follows the record machine (csv_records.h: LF outside quoted text ends a
// record) over a stream that arrives in chunks, and measures the record in
// progress. A record is measured without its LF and one CR right before it;
// a last line without LF, without one final CR.
struct RecordLengthWatch {
  char delimiter = ',';
  size_t max_record_bytes = kMaxRecordBytes;  // a smaller bound in tests
  RecordScanState state = RecordScanState::at_field_start;
  uint64_t open_bytes = 0;    // bytes of the record in progress so far
  bool open_ends_cr = false;  // its last byte is a CR
};

// Feeds the next `length` bytes of the stream. Returns StreamTooLong as soon
// as a record is known to be longer than the bound.
[[nodiscard]] Error watchRecordLengths(RecordLengthWatch& watch, const char* data,
                                       size_t length) noexcept;

// Closes the stream: its last line, when it has no LF, is measured too.
[[nodiscard]] Error finishRecordLengths(const RecordLengthWatch& watch) noexcept;

}  // namespace tavix
