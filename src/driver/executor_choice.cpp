#include "driver/executor_choice.h"

#include "exec/scan/scan_executors.h"
#include "sql/select_classify.h"

namespace tavix {

StatementShape describeStatement(const ParsedQuery& query) {
  StatementShape s;
  s.from_stdin = query.source == "stdin" || query.source == "-";
  s.has_joins = !query.joins.empty();
  if (!query.select_star && !query.select_items.empty()) {
    size_t aggregates = 0;
    for (const std::string& item : query.select_items)
      if (isAggregateExpr(item)) ++aggregates;
    s.any_aggregate = aggregates > 0;
    s.all_aggregates = aggregates == query.select_items.size();
  }
  s.has_group_by = !query.group_by.empty();
  s.distinct = query.distinct;
  s.select_star = query.select_star;
  s.scalar_exprs = selectHasScalarExprs(query);
  s.computed_select = s.scalar_exprs || selectNeedsExpressionExecutor(query);
  s.has_order_by = query.has_order_by;
  s.order_by_keys = query.has_order_by ? 1 + query.order_by.extra_keys.size() : 0;
  s.limit = query.limit;
  s.offset = query.offset;
  return s;
}

bool isFileScanExecutor(Executor e) {
  return e == Executor::streaming || e == Executor::mapped || e == Executor::parallel_mapped ||
         e == Executor::parallel_expr;
}

Executor chooseExecutor(const StatementShape& s, uint64_t size, unsigned cpus) {
  if (s.from_stdin) {
    // Standard input cannot be read twice, so it cannot be joined.
    if (s.has_joins) return Executor::refuse_stdin_join;
    if (s.any_aggregate || s.has_group_by) {
      if (s.has_group_by) return Executor::stdin_group_by;
      if (s.all_aggregates) return Executor::stdin_global_aggregate;
      return Executor::refuse_mixed;
    }
    // SELECT DISTINCT over plain columns answers as over a file, as a
    // GROUP BY, so its rows come in the same order and form.
    if (s.distinct && !s.select_star && !s.scalar_exprs) return Executor::stdin_distinct_rewrite;
    // Sorting needs the whole input: it is spooled and sorted like a file.
    if (s.has_order_by) return Executor::stdin_sorted;
    return Executor::stdin_scan;
  }
  if (s.has_joins) {
    // Aggregates mixed with plain items need a GROUP BY, joined or not.
    if (s.has_group_by || s.all_aggregates) return Executor::join_staging;
    return s.any_aggregate ? Executor::refuse_mixed : Executor::join;
  }
  if (s.has_group_by) return Executor::group_by;
  if (s.any_aggregate) return s.all_aggregates ? Executor::global_aggregate : Executor::refuse_mixed;
  if (s.distinct && !s.select_star && !s.scalar_exprs) return Executor::distinct_rewrite;

  // Over a large file every remaining shape has a parallel path; a computed
  // list written whole in file order has its own.
  if (size >= kParallelMinBytes && cpus >= 2) {
    const bool whole_in_file_order =
        !s.has_order_by && !s.distinct && s.limit < 0 && s.offset == 0;
    return s.computed_select && whole_in_file_order ? Executor::parallel_expr
                                                    : Executor::parallel_mapped;
  }
  if (size >= kMappedMinBytes) return Executor::mapped;
  return Executor::streaming;
}

}  // namespace tavix
