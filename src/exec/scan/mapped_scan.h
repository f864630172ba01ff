// The start the executors over a mapped file share: the output columns and
// the mapped input with its writer and WHERE filter.
// Built on the executor's thread; afterwards workers only read it.
#pragma once

#include "common/error.h"
#include "engine/csv/csv_header.h"
#include "engine/csv/mapped_input.h"
#include "engine/expr/row_filter.h"
#include "engine/output/result_writer.h"
#include "exec/executor.h"
#include "exec/scan/scan_pipeline.h"
#include "sql/parsed_query.h"

namespace tavix {

// The start the plain-column executors over a mapped file share, built by
// `openMappedPlainScan` in this order: the input mapped with its header and
// column map (`openMappedCsv`), the output columns by the rule every scan
// executor follows (`buildOutputColumns`: aliases, implicit ones too, and
// labels from the trimmed header names), the writer with the output started
// (the CSV header row buffered) and the WHERE filter. A column item takes
// its field as it stands; computed items are evaluated per row
// (`projectRow`).
// The members refer to each other and to the mapping, so the object stays
// where it was opened; the mapping goes last. Belongs to the executor's thread;
// workers only read it.
struct MappedPlainScan {
  MappedCsv input;
  OutputColumns columns;
  ResultWriter writer;
  RowFilter filter;
};

// Opens `scan` over the input. Returns the size query's error, MapFailed,
// NoHeader (an empty file or one without a line end), the header's
// TooManyColumns, the errors of buildOutputColumns (ColumnNotFound,
// ArithmeticExpressionsNotSupported), ColumnNotFound for a WHERE column that
// is no header name, or the writer's error.
[[nodiscard]] Error openMappedPlainScan(const ParsedQuery& query, const InputFile& input,
                                        const ResultFile& result, const QueryOptions& options,
                                        MappedPlainScan& scan);

}  // namespace tavix
