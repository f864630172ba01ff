// The rows of grouped output once each group is rendered: DISTINCT over whole
// rows, then either written at once (in group order, OFFSET rows passed over,
// an early stop at LIMIT) or, with ORDER BY, kept and written after a stable
// sort, the window [OFFSET, OFFSET + LIMIT).
//
// A kept row is its output texts followed by the group's key parts (an
// ORDER BY key may name a GROUP BY item that is not shown); only the output
// texts are ever written. Kept rows are copied into the object's arena once.
// Belongs to the executor's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/allocator.h"
#include "common/error.h"
#include "common/text.h"
#include "engine/output/result_writer.h"
#include "exec/scan/scan_pipeline.h"
#include "exec/sort/order_rule.h"
#include "sql/parsed_query.h"

namespace tavix {

// Resolves the query's ORDER BY keys for grouped output with `resolveSortKey`
// against the labels, the select items and the GROUP BY items: a key on an
// output column sorts by that column, a key on a GROUP BY item by that key's
// part, stored after the `labels.size()` output texts of a kept row. Returns
// OrderByColumnNotFound for the first key that names nothing.
[[nodiscard]] Error resolveGroupSortKeys(const ParsedQuery& query,
                                         std::span<const FieldSlice> labels,
                                         std::vector<SortKey>& out);

class GroupedRows {
 public:
  // `sort_keys` empty means no ORDER BY.
  GroupedRows(const ParsedQuery& query, std::vector<SortKey> sort_keys) noexcept;
  GroupedRows(const GroupedRows&) = delete;
  GroupedRows& operator=(const GroupedRows&) = delete;

  // True once no further row can be written (LIMIT reached without ORDER BY):
  // the remaining groups need not be rendered.
  bool full() const noexcept { return stop_; }

  // Offers one rendered row (texts valid only for the call) with the group's
  // key parts. Returns the writer's error or OutOfMemory.
  [[nodiscard]] Error offer(ResultWriter& writer, std::span<const FieldSlice> row,
                            std::span<const FieldSlice> key_parts);

  // Writes the kept rows in ORDER BY order (nothing to do without ORDER BY),
  // then the closing text, and flushes. Returns the writer's error.
  [[nodiscard]] Error finish(ResultWriter& writer);

 private:
  const ParsedQuery& query_;
  std::vector<SortKey> sort_keys_;
  bool distinct_;
  DistinctRowSet distinct_rows_;
  UnsortedEmission emission_;
  bool stop_ = false;
  size_t width_ = 0;  // output texts per kept row
  ArenaAllocator store_;
  std::vector<FieldRow> kept_;
};

}  // namespace tavix
