// How the aggregating executors (whole-table and grouped) read the records of
// a mapped input and test their WHERE: one rule for both, on one thread or
// on workers.
//
// Records: a quote-aware record end, one trailing CR dropped, empty records
// skipped, at most 256 fields (the first 256 of a longer record, without an
// error), two quotes in a row inside a field read as one (a copy that cannot
// be had fails the query with OutOfMemory). Only the leading fields that
// something reads are cut: `aggregateFieldSpan` tells how many.
//
// WHERE: a `RowFilter` with `WhereLeafRule::aggregate` (engine/expr/
// row_filter.h): a single comparison reads its field by the field number
// reading and never passes a record too short to hold its column; any other
// tree is walked over the lower-cased header names.
//
// Records come from the mapping (one thread) or from one worker's range read
// by positioned reads (the parallel scans). Everything here runs on the
// thread that owns the walk; the filter and the specs are only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/chunk_reader.h"
#include "engine/csv/csv_header.h"
#include "engine/csv/field_access.h"
#include "engine/expr/row_filter.h"
#include "exec/aggregate/aggregate_select.h"
#include "exec/parallel/chunk_workers.h"
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

// The number of leading fields the aggregates read: one past the highest
// argument column, condition column and operand column of `specs` (0 when
// they read none).
size_t specFieldSpan(std::span<const AggregateSpec> specs) noexcept;

// The number of leading fields a record is cut to for these specs and the
// query's WHERE, at most kMaxRecordFields.
size_t aggregateFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map,
                          std::span<const AggregateSpec> specs);

// Prepares the WHERE test of an aggregating executor. Returns ColumnNotFound
// when the WHERE names a column that is no header name.
[[nodiscard]] inline Error initAggregateFilter(const ParsedQuery& query, const ColumnIndexMap& map,
                                               bool strict, RowFilter& filter) {
  return filter.init(query, map, strict, WhereLeafRule::aggregate);
}

// The fields of the record being read, valid during one call of the
// record callback.
struct AggregateRecord {
  const FieldSlice* fields;
  size_t count;
};

// Calls `on_record(const AggregateRecord&) -> Error` for every record of
// [start, end) of the mapped `data` that passes `filter`, in order, its
// first `span` fields cut (fewer for a shorter record). Returns the first
// error of the cut (OutOfMemory), of the filter (StrictModeNonNumericValue)
// or of `on_record`. `ran_over` is set when the last record runs up to `end`
// without an LF.
template <typename OnRecord>
[[nodiscard]] Error forEachAggregateRecord(const char* data, uint64_t start, uint64_t end,
                                           char delimiter, size_t span, const RowFilter& filter,
                                           bool& ran_over, OnRecord&& on_record);

// The reading of one record line by that rule, for loops that find their
// lines elsewhere (a worker reading its range by positioned reads). Belongs
// to one thread; 4 KiB of slots, so keep it off small stacks.
class AggregateRecordCut {
 public:
  AggregateRecordCut(char delimiter, size_t span, const RowFilter& filter) noexcept
      : filter_(filter),
        span_(span < kMaxRecordFields ? span : kMaxRecordFields),
        delimiter_(delimiter),
        every_record_(filter.passesEveryRecord()) {}

  // Cuts `line` (no LF, no trailing CR; `quote_free` when the caller knows
  // it holds no double quote) and sets `pass` to whether it passes the
  // filter; the record's fields are then in `record()` until the next call.
  // Returns OutOfMemory or StrictModeNonNumericValue.
  [[nodiscard]] Error read(FieldSlice line, bool quote_free, bool& pass) noexcept {
    if (quote_free) {
      // The common record, cut here as `cutRecordFields` would cut it: at
      // delimiters only, as far as asked, fields past the limit ignored.
      count_ = span_ == 0 ? 0
                          : splitLeadingFields(line.data(), line.size(), fields_, span_, kAllFields,
                                               delimiter_)
                                .count;
    } else {
      scratch_.reset();
      TAVIX_TRY(cutRecordFields(line, false, span_, delimiter_, fields_, count_, scratch_));
    }
    if (every_record_) {
      pass = true;
      return Error::ok;
    }
    return filter_.test(fields_, count_, pass);
  }

  AggregateRecord record() const noexcept { return AggregateRecord{fields_, count_}; }

 private:
  const RowFilter& filter_;
  size_t span_;
  char delimiter_;
  bool every_record_;  // no WHERE
  size_t count_ = 0;
  ArenaAllocator scratch_;
  FieldSlice fields_[kMaxRecordFields];
};

template <typename OnRecord>
[[nodiscard]] Error forEachAggregateRecord(const char* data, uint64_t start, uint64_t end,
                                           char delimiter, size_t span, const RowFilter& filter,
                                           bool& ran_over, OnRecord&& on_record) {
  AggregateRecordCut cut(delimiter, span, filter);
  return forEachMappedLine(data, start, end, delimiter, ran_over,
                           [&](FieldSlice line, bool quote_free, bool&) -> Error {
                             bool pass = false;
                             TAVIX_TRY(cut.read(line, quote_free, pass));
                             return pass ? on_record(cut.record()) : Error::ok;
                           });
}

// The same walk over one worker's range, read from `file` by positioned
// reads (`forEachChunkLine`): the range reader of the parallel aggregating
// scans. Runs on the worker's thread (16 MiB of stack) and touches only
// `worker`, its own buffers and what `on_record` touches; the worker's
// status tells how its range ended (a last record past the range's end, a
// stop request).
template <typename OnRecord>
[[nodiscard]] Error forEachRangeAggregateRecord(platform::File file, char delimiter, size_t span,
                                                const RowFilter& filter, ChunkWorkerBase& worker,
                                                OnRecord&& on_record) {
  AggregateRecordCut cut(delimiter, span, filter);
  return forEachChunkLine(file, delimiter, worker,
                          [&](FieldSlice line, bool quote_free, uint64_t, bool&) -> Error {
                            bool pass = false;
                            TAVIX_TRY(cut.read(line, quote_free, pass));
                            return pass ? on_record(cut.record()) : Error::ok;
                          });
}

}  // namespace tavix
