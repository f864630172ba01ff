// CSV record machinery over bytes that lie in memory as one run: where a
// record ends, how a record is cut into fields, how doubled quotes are
// unescaped.
//
// The dialect: records end with LF (callers drop one CR right before it),
// fields are separated by a one-byte delimiter, and a field whose first byte
// is a double quote is quoted: inside it the delimiter and LF are data and two
// quotes in a row stand for one quote. A quote anywhere else is an ordinary
// byte. The delimiter is never a double quote or LF.
//
// Nothing here keeps state or allocates, except `unescapeDoubledQuotes`
// (into the caller's arena). Every routine is reentrant
// and only reads its input, so worker threads may call them at once over the
// same shared mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"

namespace tavix {

// Field limit of data records, used by every record reader and executor.
inline constexpr size_t kMaxRecordFields = 256;
// Field limit of the header row.
inline constexpr size_t kMaxHeaderFields = 4096;

// The state of the record machine in front of a byte. Three states suffice:
// right after a quote inside quoted text the machine behaves exactly as at a
// field start (another quote is the second half of an escaped quote and
// re-enters quoting, the delimiter starts a field, LF ends the record, any
// other byte continues the field unquoted), so that moment is `at_field_start`
// as well.
enum class RecordScanState : uint8_t {
  at_field_start = 0,  // outside quotes; a quote here opens quoted text
  in_field = 1,        // outside quotes; a quote here is an ordinary byte
  in_quotes = 2,       // inside quoted text
};
inline constexpr size_t kRecordScanStateCount = 3;

struct RecordEnd {
  size_t position;  // offset of the LF that ends the record; the length when not found
  bool found;
};

// Returns the offset of the LF that ends the record starting at `start`:
// the first LF outside quoted text, with the record's first byte at a field
// start. `found` is false when the data ends first (also when `start` is at
// or past `length`); the rest of the data is then the last record.
RecordEnd findRecordEnd(const char* data, size_t length, size_t start, char delimiter) noexcept;

// Runs the record machine from `pos` in `state` up to the first LF that ends
// a record and returns its offset. When the data ends first, returns
// {length, false} and leaves in `state` the machine's state at `length`, so
// the scan can resume there once more bytes have arrived.
RecordEnd scanToRecordEnd(const char* data, size_t length, size_t pos, RecordScanState& state,
                          char delimiter) noexcept;

// Returns the machine's state at `end` when it is in `state` at `begin`.
// LF is treated as the end of one record and the start of the next, so this
// is the state that a sequential read would have at `end`.
RecordScanState advanceRecordScanState(const char* data, size_t begin, size_t end,
                                       RecordScanState state, char delimiter) noexcept;

struct SplitResult {
  size_t count;  // fields written to the slots
  Error error;   // ok or TooManyColumns
};

// Cuts one record (without its line end) into fields written to
// `slots[0..max_fields)`. The slices point into the record: nothing is
// copied, trimmed or unescaped; a quoted field loses its enclosing quotes and
// keeps doubled quotes as two bytes, and bytes between its closing quote and
// the next delimiter are dropped; an unterminated quoted field runs to the
// end. A record without any quote splits at every delimiter. The empty
// record is one empty field; a trailing delimiter gives a final empty field.
// When the record has more than `max_fields` fields the result is
// TooManyColumns with count `max_fields` and the slots holding the record's
// first `max_fields` fields. Allocates nothing.
SplitResult splitCsvRecord(const char* line, size_t length, FieldSlice* slots, size_t max_fields,
                           char delimiter) noexcept;

// Replaces `field`, when it holds two adjacent quotes, by a copy in `scratch`
// in which, from left to right, every quote directly followed by a quote is
// written once and both are consumed ("" -> ", """ -> "", """" -> ""). Other
// fields stay as they are. Returns OutOfMemory, leaving `field` unchanged,
// when the copy cannot be allocated.
[[nodiscard]] Error unescapeDoubledQuotes(FieldSlice& field, ArenaAllocator& scratch) noexcept;

// Copies `text` to `out` (room for text.size() bytes) with every quote that
// is directly followed by a quote written once and both consumed, left to
// right; returns the number of bytes written.
size_t collapseDoubledQuotes(std::string_view text, char* out) noexcept;

// Applies `unescapeDoubledQuotes` to each of `count` fields; stops at the
// first OutOfMemory and returns it.
[[nodiscard]] Error unescapeDoubledQuotes(FieldSlice* fields, size_t count,
                                          ArenaAllocator& scratch) noexcept;

}  // namespace tavix
