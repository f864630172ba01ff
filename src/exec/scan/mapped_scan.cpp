#include "exec/scan/mapped_scan.h"

#include <new>
#include <string>

#include "engine/expr/scalar_expr.h"
#include "exec/scan/scan_executors.h"
#include "sql/select_item.h"

namespace tavix {

Error openMappedPlainScan(const ParsedQuery& query, const InputFile& input,
                          const ResultFile& result, const QueryOptions& options,
                          MappedPlainScan& scan) {
  TAVIX_TRY(openMappedCsv(input.handle, options.csvLayout(), scan.input));
  TAVIX_TRY(buildOutputColumns(query, scan.input.header.names, scan.input.map, scan.columns));
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
