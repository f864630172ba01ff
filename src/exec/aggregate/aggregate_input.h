// The input of the aggregating executors (whole-table and grouped): the
// file, its read-only mapping, its header row and the column map.
//
// The input is a feed of records (exec/parallel/record_feed.h), whose header
// text is read as a file's header and which hands the records itself; or a
// present `PreopenedSource` (the standard-input spool), which
// is mapped from offset 0 and never closed, or `ParsedQuery.source`, opened
// here relative to the current directory and closed when the input is
// released. Owned by the executor's thread; once opened, worker threads may
// read the mapping, the header and the map without locks.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "engine/csv/mapped_input.h"
#include "exec/executor.h"
#include "exec/parallel/record_feed.h"
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

struct AggregateInput {
  platform::OwnedFile opened;  // the source when this input opened it; empty for a pre-opened one
  platform::File handle;       // the input read, opened here or pre-opened
  // The mapping, the header and the column map, whose trimmed, lower-cased
  // names (`csv.map.loweredNameSlices()`) are the names WHERE conditions are
  // checked against and evaluated over.
  // Of a fed input: nothing mapped, `size` the feed's input bytes, the
  // header and the map read from its header text.
  MappedCsv csv;
  RecordFeed* feed = nullptr;  // the records' producer; null when the file is read
};

// Opens `input`: the handle (the open's error unchanged), EmptyFile for 0
// bytes, the mapping (MapFailed), the header row (NoHeader, TooManyColumns)
// and the column map. Whatever was opened is released by `input`, on
// failure too.
[[nodiscard]] Error openAggregateInput(const ParsedQuery& query, PreopenedSource source,
                                       const QueryOptions& options, AggregateInput& input);

// Opens the fed input of `feed`: its header text read by `options`' layout
// (NoHeader, TooManyColumns) and the column map. `feed` must outlive `input`.
[[nodiscard]] Error openFedInput(RecordFeed& feed, const QueryOptions& options,
                                 AggregateInput& input);

}  // namespace tavix
