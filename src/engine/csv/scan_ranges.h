// Cutting a CSV body that lies in memory as one run into record-aligned byte
// ranges, one per worker: exactly (every cut on a true record boundary,
// found by following the quote state of the whole body) or at line ends (no
// pass over the body; a cut may fall inside a quoted field, which the reader
// of the ranges finds out and answers by cutting exactly).
//
// The routines keep no state and only read their input; they may run on any
// thread. `splitIntoScanRanges` runs helper threads for large inputs and
// joins them before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace tavix {

// One byte range of the input handed to one worker: [start, end). Ranges of
// one cut share their boundaries, never overlap and never run backwards.
struct ScanRange {
  uint64_t start = 0;  // offset of the first byte
  uint64_t end = 0;    // one past the last byte: just past an LF, or the data length
};

// Cuts [start, data.size()) into `n` consecutive ranges for `n` workers.
// The nominal cut offsets are start + k * ((size - start) / n) for
// k = 1..n-1; each cut is moved to just past the first LF at or after its
// nominal offset that ends a record in a sequential read from `start` (so a
// quoted field holding line ends is never cut), or to the data length when no
// record ends after the nominal offset. The first range starts at `start`,
// the last ends at the data length; a range may be empty. Reading every range
// record by record gives exactly the records of a sequential read.
//
// Inputs of 16 MiB and more have their quote state summarised by up to n
// helper threads (`platform::runThreads`, joined before the return).
// Returns OutOfMemory when `out` cannot be sized, or the start error of a
// helper (`out` then empty); n 0 gives no ranges and n 1 the whole input.
[[nodiscard]] Error splitIntoScanRanges(std::string_view data, uint64_t start, size_t n,
                                        char delimiter, std::vector<ScanRange>& out) noexcept;

// Cuts [start, data.size()) into `n` ranges like `splitIntoScanRanges`, but
// without reading the quote state of the bytes before each cut: each cut is
// one past a line end at or after its nominal offset (the first one whose
// neighbouring lines hold no quote, see the .cpp; for input without quotes
// the first line end, which is the exact cut), and a cut whose nominal
// offset lies before the previous cut takes the previous cut. Workers whose
// results are joined in range order give the answer of the exact cuts when
// every cut falls on a record start; a reader finds out that one did not
// when the range before it ends inside a record. Returns OutOfMemory.
[[nodiscard]] Error cutRangesAtLineEnds(std::string_view data, uint64_t start, size_t n,
                                        std::vector<ScanRange>& out) noexcept;

// Cuts each of `ranges` (consecutive, as either cut above gives them)
// further, into ranges of about `block_bytes`, by the rule of
// `cutRangesAtLineEnds`, reading only the bytes around each nominal cut
// from `file` by positioned reads: a mapping of the input stays untouched
// (a mapped page read once stays counted in the process's memory). A cut
// that finds no line end near its nominal offset is left out. Cuts that
// fall inside a record are found out as for `cutRangesAtLineEnds`. Returns
// the read error or OutOfMemory.
[[nodiscard]] Error subdivideRangesAtLineEnds(platform::File file, std::span<const ScanRange> ranges,
                                              uint64_t block_bytes,
                                              std::vector<ScanRange>& out) noexcept;

}  // namespace tavix
