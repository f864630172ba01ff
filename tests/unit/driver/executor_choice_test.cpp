#include "driver/executor_choice.h"

#include <gtest/gtest.h>

namespace tavix {
namespace {

constexpr uint64_t kMiB = 1 << 20;

StatementShape plain() { return StatementShape{}; }

TEST(ExecutorChoice, StatementShapesPickTheirExecutor) {
  struct Case {
    const char* what;
    StatementShape shape;
    Executor expected;
  };
  auto with = [](auto change) {
    StatementShape s;
    change(s);
    return s;
  };
  static const Case cases[] = {
      {"stdin scan", with([](auto& s) { s.from_stdin = true; }), Executor::stdin_scan},
      {"stdin GROUP BY", with([](auto& s) { s.from_stdin = s.has_group_by = true; }),
       Executor::stdin_group_by},
      {"stdin aggregates only",
       with([](auto& s) { s.from_stdin = s.any_aggregate = s.all_aggregates = true; }),
       Executor::stdin_global_aggregate},
      {"stdin mixed", with([](auto& s) { s.from_stdin = s.any_aggregate = true; }),
       Executor::refuse_mixed},
      {"stdin ORDER BY",
       with([](auto& s) {
         s.from_stdin = s.has_order_by = true;
         s.order_by_keys = 1;
       }),
       Executor::stdin_sorted},
      {"stdin join", with([](auto& s) { s.from_stdin = s.has_joins = true; }),
       Executor::refuse_stdin_join},
      {"stdin DISTINCT plain is rewritten as over a file",
       with([](auto& s) { s.from_stdin = s.distinct = true; }), Executor::stdin_distinct_rewrite},
      {"stdin DISTINCT plain with ORDER BY is rewritten too",
       with([](auto& s) {
         s.from_stdin = s.distinct = s.has_order_by = true;
         s.order_by_keys = 1;
       }),
       Executor::stdin_distinct_rewrite},
      {"stdin DISTINCT * is the stdin scan",
       with([](auto& s) { s.from_stdin = s.distinct = s.select_star = true; }),
       Executor::stdin_scan},
      {"stdin DISTINCT computed is the stdin scan",
       with([](auto& s) { s.from_stdin = s.distinct = s.scalar_exprs = s.computed_select = true; }),
       Executor::stdin_scan},
      {"join", with([](auto& s) { s.has_joins = true; }), Executor::join},
      {"join with aggregates only",
       with([](auto& s) { s.has_joins = s.any_aggregate = s.all_aggregates = true; }),
       Executor::join_staging},
      {"join mixing aggregates and plain items", with([](auto& s) { s.has_joins = s.any_aggregate = true; }),
       Executor::refuse_mixed},
      {"join with GROUP BY", with([](auto& s) { s.has_joins = s.has_group_by = true; }),
       Executor::join_staging},
      {"join with GROUP BY and mixed items",
       with([](auto& s) { s.has_joins = s.has_group_by = s.any_aggregate = true; }),
       Executor::join_staging},
      {"join with ORDER BY and DISTINCT",
       with([](auto& s) {
         s.has_joins = s.distinct = s.has_order_by = true;
         s.order_by_keys = 1;
       }),
       Executor::join},
      {"GROUP BY", with([](auto& s) { s.has_group_by = true; }), Executor::group_by},
      {"GROUP BY wins over mixed items",
       with([](auto& s) { s.has_group_by = s.any_aggregate = true; }), Executor::group_by},
      {"aggregates only", with([](auto& s) { s.any_aggregate = s.all_aggregates = true; }),
       Executor::global_aggregate},
      {"mixed", with([](auto& s) { s.any_aggregate = true; }), Executor::refuse_mixed},
      {"DISTINCT plain", with([](auto& s) { s.distinct = true; }), Executor::distinct_rewrite},
      {"DISTINCT * over a large file", with([](auto& s) { s.distinct = s.select_star = true; }),
       Executor::parallel_mapped},
      {"DISTINCT computed",
       with([](auto& s) { s.distinct = s.scalar_exprs = s.computed_select = true; }),
       Executor::parallel_mapped},
      {"DISTINCT over items only the expression executors serve is still rewritten",
       with([](auto& s) { s.distinct = s.computed_select = true; }), Executor::distinct_rewrite},
  };
  for (const Case& c : cases)
    EXPECT_EQ(chooseExecutor(c.shape, 100 * kMiB, 8), c.expected) << c.what;
}

TEST(ExecutorChoice, ScanExecutorsFollowSizeLimitOffsetKeysAndProcessors) {
  struct Case {
    const char* what;
    uint64_t size;
    unsigned cpus;
    int32_t limit;
    int32_t offset;
    size_t order_keys;
    bool computed;
    bool distinct;
    Executor expected;
  };
  static const Case cases[] = {
      {"5 MiB exactly streams", 5 * kMiB, 8, -1, 0, 0, false, false, Executor::streaming},
      {"one byte more is mapped", 5 * kMiB + 1, 8, -1, 0, 0, false, false, Executor::mapped},
      {"10 MiB exactly is mapped", 10 * kMiB, 8, -1, 0, 0, false, false, Executor::mapped},
      {"over 10 MiB is parallel", 10 * kMiB + 1, 8, -1, 0, 0, false, false,
       Executor::parallel_mapped},
      {"one processor stays mapped", 10 * kMiB + 1, 1, -1, 0, 0, false, false, Executor::mapped},
      {"two processors suffice", 10 * kMiB + 1, 2, -1, 0, 0, false, false,
       Executor::parallel_mapped},
      {"LIMIT 10 is parallel", 64 * kMiB, 8, 10, 0, 0, false, false, Executor::parallel_mapped},
      {"LIMIT 0 is parallel", 64 * kMiB, 8, 0, 0, 0, false, false, Executor::parallel_mapped},
      {"LIMIT with one processor is mapped", 64 * kMiB, 1, 10, 0, 0, false, false,
       Executor::mapped},
      {"ORDER BY with small LIMIT is parallel", 64 * kMiB, 8, 10, 0, 1, false, false,
       Executor::parallel_mapped},
      {"OFFSET is parallel", 64 * kMiB, 8, -1, 1, 0, false, false, Executor::parallel_mapped},
      {"OFFSET over 5 MiB is mapped", 5 * kMiB + 1, 8, -1, 1, 0, false, false, Executor::mapped},
      {"OFFSET 5 MiB streams", 5 * kMiB, 8, -1, 1, 0, false, false, Executor::streaming},
      {"two ORDER BY keys are parallel", 64 * kMiB, 8, 10, 0, 2, false, false,
       Executor::parallel_mapped},
      {"two ORDER BY keys with one processor are mapped", 64 * kMiB, 1, 10, 0, 2, false, false,
       Executor::mapped},
      {"computed over 10 MiB is parallel", 10 * kMiB + 1, 2, -1, 0, 0, true, false,
       Executor::parallel_expr},
      {"computed 10 MiB is mapped", 10 * kMiB, 8, -1, 0, 0, true, false, Executor::mapped},
      {"computed 5 MiB streams", 5 * kMiB, 8, -1, 0, 0, true, false, Executor::streaming},
      {"computed with one processor is mapped", 64 * kMiB, 1, -1, 0, 0, true, false,
       Executor::mapped},
      {"computed with LIMIT is parallel", 64 * kMiB, 8, 200000, 0, 0, true, false,
       Executor::parallel_mapped},
      {"computed with ORDER BY is parallel", 64 * kMiB, 8, -1, 0, 1, true, false,
       Executor::parallel_mapped},
      {"computed with OFFSET is parallel", 64 * kMiB, 8, -1, 3, 0, true, false,
       Executor::parallel_mapped},
      {"computed DISTINCT is parallel", 64 * kMiB, 8, -1, 0, 0, true, true,
       Executor::parallel_mapped},
  };
  for (const Case& c : cases) {
    StatementShape s = plain();
    s.limit = c.limit;
    s.offset = c.offset;
    s.order_by_keys = c.order_keys;
    s.has_order_by = c.order_keys > 0;
    s.computed_select = c.computed;
    s.distinct = c.distinct;
    s.select_star = c.distinct;  // keeps plain DISTINCT away from the GROUP BY rewrite
    EXPECT_EQ(chooseExecutor(s, c.size, c.cpus), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace tavix
