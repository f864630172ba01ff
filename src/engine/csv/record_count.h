// Counting the records of a mapped CSV body without splitting fields.
//
// `countRecordsInRange` counts exactly the records a sequential reader sees
// (the record machine of csv_records.h: a quote opens quoted text only at a
// field start; empty lines are no records), for `count(*)` over a whole
// table; its caller cuts large bodies into record-aligned ranges and counts
// them on worker threads.
//
// `countRecordsParallel` uses a simpler quote rule: every double quote
// toggles the quote state, wherever it stands. A record is an LF outside
// quotes, plus one for a last line without LF; empty lines count. Large
// bodies are cut into chunks at fixed offsets, each counted on its own
// thread for both possible starting quote states, and the partial counts are
// chained in chunk order.
//
// The data must stay mapped and unchanged during a call; the routines keep
// no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "engine/csv/scan_ranges.h"
#include "platform/platform.h"

namespace tavix {

// The LFs of one chunk, split by the parity of the quotes before them inside
// the chunk.
struct NewlineCounts {
  uint64_t outside = 0;  // LFs after an even number of the chunk's quotes
  uint64_t inside = 0;   // LFs after an odd number
  bool parity = false;   // the chunk holds an odd number of quotes
};

// Returns the newline counts of `length` bytes at `chunk`.
NewlineCounts countNewlinesQuoteAware(const char* chunk, size_t length) noexcept;

struct RangeRecordCount {
  uint64_t count = 0;
  // The range's last record ran up to its end without an LF that ends it.
  bool ran_over = false;
  // When `ran_over`: the offset where that last record starts, and whether
  // `count` holds it (a last line of only a CR is no record).
  size_t tail_start = 0;
  bool tail_counted = false;
};

// Counts the records of [start, end) of `data`, `start` being a record
// start: every record ends at the LF that `findRecordEnd` finds (one that
// the range's end comes before ends the last record there, and sets
// `ran_over`), and a record that is empty or only a CR is not counted.
// Quote-free stretches are counted a block of 64 bytes at a time without
// walking their records. Allocates nothing.
RangeRecordCount countRecordsInRange(const char* data, size_t start, size_t end,
                                     char delimiter) noexcept;

// The two builds of countRecordsInRange, which picks the one the running
// processor can run: by 32-byte compares when it has AVX2 and a
// population-count instruction, else by the compares every target has. Both
// count the same; they are declared here so both can be tested on any
// processor that runs the first.
namespace record_count_detail {
bool avx2Available() noexcept;
// Only when avx2Available() (else the portable form).
RangeRecordCount countRecordsInRangeAvx2(const char* data, size_t start, size_t end,
                                         char delimiter) noexcept;
RangeRecordCount countRecordsInRangePortable(const char* data, size_t start, size_t end,
                                             char delimiter) noexcept;
}  // namespace record_count_detail

// Counts the records of `range` of `file` as `countRecordsInRange` counts
// them, reading the range by positioned reads of at most 2 MiB into a
// buffer of its own (so a worker faults in no page of a mapping); a record
// that straddles two reads is carried to the front of the buffer, which
// grows for a record longer than it. Returns the read error or OutOfMemory.
// Any thread; reads `file` only through `platform::readAt`.
[[nodiscard]] Error countFileRecordsInRange(platform::File file, ScanRange range, char delimiter,
                                            RangeRecordCount& out) noexcept;

struct RecordCount {
  uint64_t count;
  Error error;  // ok, OutOfMemory, or the start error of a thread that cannot be started
};

// Returns the number of records of `length` bytes at `data` (the body after
// the header row), using up to `max_threads` threads (0 counts as 1): one
// chunk per MiB, at most `max_threads` chunks; a single chunk is counted on
// the calling thread. On failure every started thread has ended and no count
// is returned.
RecordCount countRecordsParallel(const char* data, size_t length, uint64_t max_threads) noexcept;

}  // namespace tavix
