// Cutting one record line into its fields: whole and unescaped
// (`splitRecordFields`), or only as far as asked, for scans whose WHERE or
// sort key needs a few columns (`splitLeadingFields`, and `RecordFields`,
// which cuts a record step by step and leaves the full split for the records
// that are kept).
//
// The free functions work over the caller's bytes and slots and may run on
// any thread; a `RecordFields` belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_records.h"

namespace tavix {

struct LeadingFields {
  size_t count;  // fields written to the slots: min(wanted, fields of the record)
  Error error;   // ok, or TooManyColumns when the record has more than max_fields fields
};

// Cuts the first `wanted` (at most `max_fields`) fields of a record that holds no double quote (the
// caller knows it: such a record splits at every delimiter) into `slots`.
// The slices are the ones `splitCsvRecord` gives for the same record. Whether
// the whole record has more than `max_fields` fields is checked as well,
// since a full split would refuse it: the error is TooManyColumns then.
// Allocates nothing.
LeadingFields splitLeadingFields(const char* line, size_t length, FieldSlice* slots, size_t wanted,
                                 size_t max_fields, char delimiter) noexcept;

// Splits one record line (no LF, no trailing CR) into `fields` (room for
// kMaxRecordFields) and replaces every field holding doubled quotes by its
// unescaped copy in `scratch` (a field the arena cannot copy stays as
// split). Returns TooManyColumns for a record of more than kMaxRecordFields
// fields.
[[nodiscard]] Error splitRecordFields(FieldSlice line, char delimiter, FieldSlice* fields,
                                      size_t& count, ArenaAllocator& scratch) noexcept;

// Cuts the first min(`wanted`, kMaxRecordFields) fields of one record line
// (no LF, no trailing CR) into `fields` the way the aggregating executors
// read records: the fields of a record longer than kMaxRecordFields past the
// first kMaxRecordFields are ignored, without an error; every field holding
// two quotes in a row is replaced by its unescaped copy in `scratch`.
// `quote_free`: the caller knows the line holds no double quote (it is then
// cut at delimiters only as far as asked). Sets `count` to the fields
// written (fewer than asked for a shorter record). Returns OutOfMemory when
// an unescaped copy cannot be had: a field half read would be a wrong value.
[[nodiscard]] Error cutRecordFields(FieldSlice line, bool quote_free, size_t wanted, char delimiter,
                                   FieldSlice* fields, size_t& count,
                                   ArenaAllocator& scratch) noexcept;

// Asks for every field of the record.
inline constexpr size_t kAllFields = SIZE_MAX;
static_assert(kAllFields > kMaxRecordFields);

// The fields of one record line, cut only as far as they are asked for: a
// quote-free record is cut up to the last field needed (the whole record is
// still checked against the field limit), any other record is split whole
// and unescaped, as `splitRecordFields` does. The slices are the same either
// way. Belongs to one worker; 2 KiB of slots, so keep it off small stacks.
class RecordFields {
 public:
  // Starts on a new record line (no LF, no trailing CR). `quote_free`: the
  // caller knows the line holds no double quote.
  void reset(FieldSlice line, bool quote_free, char delimiter) noexcept {
    line_ = line;
    delimiter_ = delimiter;
    quote_free_ = quote_free;
    cut_ = 0;
    whole_ = false;
    started_ = false;
  }

  // Makes fields [0, min(n, count)) available, n = kAllFields for all of
  // them. `scratch` takes unescaped copies; it is reset before a whole split.
  // Returns TooManyColumns for a record of more than kMaxRecordFields fields,
  // whatever `n`.
  [[nodiscard]] Error need(size_t n, ArenaAllocator& scratch) noexcept {
    if (whole_ || (started_ && n <= cut_)) return Error::ok;
    if (quote_free_ && n < kMaxRecordFields) {
      // A quote-free record splits at every delimiter: cut it afresh up to
      // the n-th field (cheap next to the work it spares), checking the
      // field limit on the first cut only.
      const LeadingFields r = splitLeadingFields(line_.data(), line_.size(), fields_, n,
                                                 started_ ? kAllFields : kMaxRecordFields, delimiter_);
      TAVIX_TRY(r.error);
      started_ = true;
      cut_ = n;
      count_ = r.count;
      whole_ = r.count < n;
      return Error::ok;
    }
    return splitWhole(scratch);
  }

  const FieldSlice* fields() const noexcept { return fields_; }
  // Fields available; with `whole()` the record's field count.
  size_t count() const noexcept { return count_; }

 private:
  [[nodiscard]] Error splitWhole(ArenaAllocator& scratch) noexcept;

  FieldSlice line_;
  size_t count_ = 0;
  size_t cut_ = 0;       // fields asked for so far
  bool quote_free_ = false;
  bool whole_ = false;   // every field is in the slots
  bool started_ = false;  // the field limit has been checked
  char delimiter_ = ',';
  FieldSlice fields_[kMaxRecordFields];
};

}  // namespace tavix
