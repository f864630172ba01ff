// The input of the aggregating executors (whole-table and grouped): the
// file, its read-only mapping, its header row and the column map.
//
// The input is a present `PreopenedSource` (the standard-input spool), which
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
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

struct AggregateInput {
  platform::OwnedFile opened;  // the source when this input opened it; empty for a pre-opened one
  platform::File handle;       // the input read, opened here or pre-opened
  // The mapping, the header and the column map, whose trimmed, lower-cased
  // names (`csv.map.loweredNameSlices()`) are the names WHERE conditions are
  // checked against and evaluated over.
  MappedCsv csv;
};

// Opens `input`: the handle (the open's error unchanged), EmptyFile for 0
// bytes, the mapping (MapFailed), the header row (NoHeader, TooManyColumns)
// and the column map. Whatever was opened is released by `input`, on
// failure too.
[[nodiscard]] Error openAggregateInput(const ParsedQuery& query, PreopenedSource source,
                                       const QueryOptions& options, AggregateInput& input);

}  // namespace tavix
