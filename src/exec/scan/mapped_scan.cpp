#include "exec/scan/mapped_scan.h"

#include <new>
#include <optional>
#include <string>

#include "engine/expr/scalar_expr.h"
#include "exec/scan/scan_executors.h"
#include "sql/select_item.h"

namespace tavix {

Error buildPlainOutputColumns(const ParsedQuery& query, const CsvHeader& header,
                              const ColumnIndexMap& map, OutputColumns& out) {
  out.specs.clear();
  out.labels.clear();
  if (query.select_star) {
    for (size_t i = 0; i < header.count; ++i) {
      OutputColumnSpec column_spec;
      column_spec.column = i;
      out.specs.push_back(std::move(column_spec));
      out.labels.push_back(trimHeaderName(header.names[i]));
    }
    return Error::ok;
  }
  for (const std::string& item : query.select_items) {
    const std::string_view text(item);
    const size_t as = findIgnoreCase(text, " as ");
    const std::string_view column_text = as == std::string_view::npos ? text : trim(text.substr(0, as));
    const std::optional<size_t> column = map.findAnyCase(column_text);
    if (!column) return Error::ColumnNotFound;
    OutputColumnSpec column_spec;
    column_spec.column = *column;
    out.specs.push_back(std::move(column_spec));
    out.labels.push_back(as == std::string_view::npos ? text : trim(text.substr(as + 4)));
  }
  return Error::ok;
}

Error openMappedPlainScan(const ParsedQuery& query, const InputFile& input,
                          const ResultFile& result, const QueryOptions& options,
                          MappedPlainScan& scan) {
  TAVIX_TRY(openMappedCsv(input.handle, options.csvLayout(), scan.input));
  TAVIX_TRY(buildPlainOutputColumns(query, scan.input.header, scan.input.map, scan.columns));
  initResultWriter(scan.writer, result.handle, options.output_format, options.delimiter);
  TAVIX_TRY(setResultColumns(scan.writer, scan.columns.labels, options.omit_header));
  return scan.filter.init(query, scan.input.map, options.strict);
}

namespace {

// A resolver that knows every column, so that only the form of an item
// decides whether it compiles as an expression.
class AnyColumnResolver final : public ColumnResolver {
 public:
  bool findColumn(std::string_view, uint64_t& index) const override {
    index = 0;
    return true;
  }
};

}  // namespace

bool selectNeedsExpressionExecutor(const ParsedQuery& query) {
  if (query.select_star) return false;
  const AnyColumnResolver any_column;
  for (const std::string& item : query.select_items) {
    try {
      const std::string_view expression = trim(splitSelectAlias(item).expression);
      ScalarExpr expr;
      bool present = false;
      if (parseScalarExpr(expression, any_column, expr, present) != Error::ok || present) return true;
    } catch (const std::bad_alloc&) {
      // Only the expression-capable executors can tell; they will run out of
      // memory the same way or answer.
      return true;
    }
  }
  return false;
}

}  // namespace tavix
