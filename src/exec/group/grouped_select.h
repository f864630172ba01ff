// The select list of a grouped statement: one output column and one label
// per select item (per GROUP BY key under SELECT *).
//
// Plain items are resolved against the group keys: a column shows the part
// of the first plain column key on it (the empty text when no key reads the
// column), an item written as a strftime, substr or round key shows that
// key's part, and an expression tied to a column key is evaluated on the
// group's key row (group_key_row.h). Compiled once on the executor's thread;
// read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "engine/csv/csv_header.h"
#include "engine/expr/scalar_expr.h"
#include "exec/group/group_keys.h"
#include "sql/parsed_query.h"

namespace tavix {

enum class GroupedItemKind : uint8_t {
  source_column = 0,  // index: input column
  group_key = 1,      // index: key position
  key_expression = 3, // index: key position of the column key the expression is tied to
};

struct GroupedOutputItem {
  uint64_t index = 0;
  ScalarExpr expr;  // key_expression only
  GroupedItemKind kind = GroupedItemKind::source_column;
};

struct GroupedSelectList {
  std::vector<GroupedOutputItem> items;
  // Views into the select items, the header names and the keys' texts.
  std::vector<FieldSlice> labels;
};

// Compiles the select list. `header` holds the names as read; `keys` the
// compiled GROUP BY keys, which must outlive the list. Returns
// ColumnNotFound, ArithmeticExpressionsNotSupported (an item that is no
// column, no key text and no expression over a column key, holding '*' or
// '/') and the expression compiler's errors.
[[nodiscard]] Error compileGroupedSelectList(const ParsedQuery& query, const ColumnIndexMap& map,
                                             const CsvHeader& header,
                                             const std::vector<GroupKeySpec>& keys,
                                             GroupedSelectList& out);

}  // namespace tavix
