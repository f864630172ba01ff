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

// The WHERE test of one query. A condition whose root is a single comparison
// is tested directly on its column's field; when its literal is a number the
// field must read as a number by the number rule, or the row is dropped (or,
// in strict mode, the query fails). A field missing from a short record is
// the empty text, exactly as in the condition-tree walk used for every other
// root. Read-only after `init`; `test` may run on many threads at once.
class RowFilter {
 public:
  // Checks that every column the WHERE names is one of `map`'s lower-cased
  // header names and prepares the test. Without a WHERE every row passes.
  // `query` and `map` must outlive the filter. Returns ColumnNotFound.
  [[nodiscard]] Error init(const ParsedQuery& query, const ColumnIndexMap& map, bool strict);

  // Sets `pass` to whether the record satisfies the WHERE. Returns
  // StrictModeNonNumericValue (in strict mode, when a single numeric
  // comparison meets a field that is not a number); otherwise ok.
  [[nodiscard]] Error test(const FieldSlice* fields, size_t field_count, bool& pass) const noexcept;

 private:
  const ConditionNode* where_ = nullptr;  // null: every row passes
  const FieldSlice* names_ = nullptr;
  size_t name_count_ = 0;
  uint64_t leaf_column_ = 0;  // simple leaf: position of its column
  bool simple_leaf_ = false;
  bool strict_ = false;
};

// The number of leading fields of a record that the WHERE of `query` reads:
// one past the highest column any of its leaves names (a leaf takes the
// first lower-cased header name equal to its column; a column that is no
// header name reads no field). 0 without a WHERE.
size_t filterFieldSpan(const ParsedQuery& query, const ColumnIndexMap& map);

}  // namespace tavix
