// Reading only the leading fields of a record, for scans whose WHERE or sort
// key needs a few columns: the record is cut as far as the last column
// needed, and the full split is left for the records that are kept.
//
// Pure functions over the caller's bytes and slots; callable from any thread.
#pragma once

#include <cstddef>

#include "common/error.h"
#include "common/text.h"

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

}  // namespace tavix
