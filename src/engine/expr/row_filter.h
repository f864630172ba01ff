// The WHERE test of one query over the fields of a record, and how many
// leading fields of a record it reads.
//
// Built on the executor's thread; afterwards a `RowFilter` is read-only and
// `test` may run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_header.h"
#include "sql/parsed_query.h"

namespace tavix {

// How a WHERE whose root is a single comparison reads its field.
enum class WhereLeafRule : uint8_t {
  // The scan executors: a field missing from a short record is the empty
  // text, and a numeric literal needs a field that is a number by the number
  // rule (no blanks).
  scan = 0,
  // The aggregating executors: a record too short to hold the column never
  // passes (not even IS NULL), and a numeric literal needs a field that is a
  // number by the field number reading (readFieldNumber: blanks around an
  // integer allowed), the rule their aggregates read numbers by.
  aggregate = 1,
};

// The WHERE test of one query. A condition whose root is a single comparison
// is tested directly on its column's field by the `WhereLeafRule`; when its
// literal is a number the field must read as a number, or the row is dropped
// (or, in strict mode, the query fails). Every other root is walked as a
// tree, a field missing from a short record reading as the empty text.
// Read-only after `init`; `test` may run on many threads at once.
class RowFilter {
 public:
  // Checks that every column the WHERE names is one of `map`'s lower-cased
  // header names and prepares the test. Without a WHERE every row passes.
  // `query` and `map` must outlive the filter. Returns ColumnNotFound.
  [[nodiscard]] Error init(const ParsedQuery& query, const ColumnIndexMap& map, bool strict,
                           WhereLeafRule rule = WhereLeafRule::scan);

  // Sets `pass` to whether the record satisfies the WHERE. Returns
  // StrictModeNonNumericValue (in strict mode, when a single numeric
  // comparison meets a field that is not a number); otherwise ok.
  [[nodiscard]] Error test(const FieldSlice* fields, size_t field_count, bool& pass) const noexcept;

  // True when there is no WHERE: `test` passes every record.
  bool passesEveryRecord() const noexcept { return where_ == nullptr; }

 private:
  const ConditionNode* where_ = nullptr;  // null: every row passes
  const FieldSlice* names_ = nullptr;
  size_t name_count_ = 0;
  uint64_t leaf_column_ = 0;  // simple leaf: position of its column
  bool simple_leaf_ = false;
  bool strict_ = false;
  WhereLeafRule rule_ = WhereLeafRule::scan;
};

// The number of leading fields of a record that the WHERE of `query` reads:
// one past the highest column any of its leaves names (a leaf takes the
// first lower-cased header name equal to its column; a column that is no
// header name reads no field). 0 without a WHERE.
size_t filterFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map);

}  // namespace tavix
