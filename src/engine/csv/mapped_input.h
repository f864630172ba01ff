// A CSV input mapped read-only as a whole, with its header read and its
// column map built: the start every executor over a mapped file shares.
//
// The header names and the map refer into the mapping, so the object stays
// where it was opened, and the view is released last. Built on one thread;
// afterwards any number of workers may read it at once.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "engine/csv/csv_header.h"
#include "platform/platform.h"

namespace tavix {

struct MappedCsv {
  platform::MappedView view;  // first, so that it outlives the names below
  uint64_t size = 0;
  CsvHeader header;
  ColumnIndexMap map;

  std::string_view bytes() const noexcept { return view.bytes(); }
};

// Maps `file` whole, reads its header (quote-aware) by `layout` and builds
// the column map. `file` stays open and is not owned. Returns the size
// query's error, MapFailed, NoHeader (an empty file or one without a line
// end) or the header's TooManyColumns.
[[nodiscard]] Error openMappedCsv(platform::File file, CsvLayout layout, MappedCsv& out);

}  // namespace tavix
