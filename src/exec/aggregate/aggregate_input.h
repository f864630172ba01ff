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
#include "engine/csv/csv_header.h"
#include "exec/executor.h"
#include "platform/platform.h"
#include "sql/parsed_query.h"

namespace tavix {

struct AggregateInput {
  AggregateInput() = default;
  ~AggregateInput();
  AggregateInput(const AggregateInput&) = delete;
  AggregateInput& operator=(const AggregateInput&) = delete;

  platform::File handle;
  bool owns_handle = false;  // opened here, so closed here
  platform::MappedView view;
  uint64_t size = 0;
  CsvHeader header;
  // The trimmed, lower-cased header names (`map.loweredNameSlices()`) are the
  // names WHERE conditions are checked against and evaluated over.
  ColumnIndexMap map;

  std::string_view data() const noexcept { return view.bytes(); }
};

// Opens `input`: the handle (the open's error unchanged), its size,
// EmptyFile for 0 bytes, the mapping (MapFailed), the header row (NoHeader,
// TooManyColumns) and the column map. Whatever was opened is released by
// `input`, on failure too.
[[nodiscard]] Error openAggregateInput(const ParsedQuery& query, PreopenedSource source,
                                       const QueryOptions& options, AggregateInput& input);

}  // namespace tavix
