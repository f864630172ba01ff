// Probing FROM records through the key maps of a `JoinPlan` and handing the
// joined rows that pass the WHERE to their output.
//
// A `JoinProbeContext` is one probing loop: the shared, read-only plan and
// the state of this loop's output (output row, writer, OFFSET/LIMIT counts,
// DISTINCT set or ORDER BY gathering). The combined row buffer belongs to the
// caller and is filled in place, level by level; every field in it is a view
// into the FROM record or into a build row, never a copy.
//
// The probe is a function of one record and one context, so any number of
// loops, each with its own context, row buffer and output, may probe one
// plan at once: the sequential loop over the FROM reader, or worker threads
// over ranges of a mapped FROM file.
#pragma once

#include <cstdint>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/csv/field_access.h"
#include "engine/output/result_writer.h"
#include "exec/join/join_plan.h"
#include "exec/parallel/record_feed.h"
#include "exec/scan/scan_pipeline.h"

namespace tavix {

struct JoinProbeContext {
  const JoinPlan* plan = nullptr;
  std::vector<FieldSlice> output_row;  // one per output column
  ResultWriter* writer = nullptr;
  UnsortedEmission emission;            // OFFSET and LIMIT of rows written as they come
  DistinctRowSet* distinct = nullptr;  // DISTINCT: rows seen so far; null without
  OrderedRows* ordered = nullptr;      // ORDER BY: rows are gathered here; null without
  // When set, every joined row that passes the WHERE goes here as its
  // output columns instead, and nothing is written.
  RecordSink* sink = nullptr;
  char delimiter = ',';                 // of the FROM records

  // Set by the first probeJoinLine of the loop, from the fields above
  // (which stay as they are for the loop): how joined rows leave, and how
  // many fields a record is cut to before its key is looked up.
  enum class Route : uint8_t { unknown, written, sunk, expanded };
  Route route = Route::unknown;
  uint64_t first_cut = 0;
};

// Extends the partial row `row` (valid below `write_index`, `depth` joins
// applied) by every combination of build rows, in nested order (the first
// join outermost, each level in its table's file order), and hands every
// complete row that passes the WHERE to the context's output. A missing
// field is the empty text. Returns ok to go on, LimitReached when the output
// is complete, or the output's error.
[[nodiscard]] Error probeJoinRow(FieldSlice* row, uint64_t write_index, uint64_t depth,
                                 JoinProbeContext& context);

// Probes one FROM record given as its bytes (no LF, one CR dropped):
// only the first join's key field is cut, and the whole record only when
// that key has build rows. `fields` and `scratch` are the loop's own.
// Returns TooManyColumns for a record of more than 256 fields, and the
// errors of probeJoinRow.
[[nodiscard]] Error probeJoinLine(FieldSlice line, RecordFields& fields, ArenaAllocator& scratch,
                                  FieldSlice* row, JoinProbeContext& context);

// probeJoinLine for a reader that knows whether the line holds a double
// quote (`quote_free`: it holds none).
[[nodiscard]] Error probeJoinLine(FieldSlice line, bool quote_free, RecordFields& fields,
                                  ArenaAllocator& scratch, FieldSlice* row, JoinProbeContext& context);

// Probes one FROM record given as its fields (the header record without a
// header row): as probeJoinLine.
[[nodiscard]] Error probeJoinFields(const FieldSlice* fields, uint64_t count, FieldSlice* row,
                                    JoinProbeContext& context);

}  // namespace tavix
