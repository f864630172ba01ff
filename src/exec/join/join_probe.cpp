#include "exec/join/join_probe.h"

#include <algorithm>
#include <cstring>

#include "common/number_rule.h"
#include "engine/expr/row_predicates.h"
#include "engine/expr/scalar_eval.h"

namespace tavix {
namespace {

// Fields past the key and the WHERE that the first cut of a FROM record
// takes along when everything the row reads lies within them.
constexpr uint64_t kCutAheadFields = 8;

// The WHERE on a complete combined row. A single comparison with a numeric
// literal reads its field by the number rule (no blanks; a field that is no
// number fails the row); a compound condition finds each column through the
// column map, exactly as a single leaf resolves its column.
bool passesWhere(const JoinPlan& plan, const FieldSlice* row) noexcept {
  const ConditionNode* where = plan.where;
  if (where == nullptr) return true;
  if (where->kind == ConditionKind::comparison) {
    if (!plan.where_ready) return false;
    const ComparisonLeaf& leaf = where->comparison;
    const FieldSlice field = row[plan.where_column];
    if (leaf.value_number && leaf.op <= ComparisonOp::le) {
      double x = 0;
      if (parseNumber(field, x) != Error::ok) return false;
      return compareNumbersByOp(x, leaf.op, *leaf.value_number);
    }
    return evalComparison(leaf, field);
  }
  return evalConditionBy(*where, [&](std::string_view name, FieldSlice& value) {
    const uint64_t* index = plan.column_map.find(name);
    if (index == nullptr) return false;
    value = row[*index];
    return true;
  });
}

// Hands one complete row that passed the WHERE to the output: dropped when
// DISTINCT has seen it, gathered for ORDER BY, or written under OFFSET and
// LIMIT.
Error emitJoinedRow(const FieldSlice* row, JoinProbeContext& context) {
  if (context.emission.limit == 0) return Error::LimitReached;
  const JoinPlan& plan = *context.plan;
  for (size_t i = 0; i < context.output_row.size(); ++i)
    context.output_row[i] = row[plan.selected_columns[i]];
  if (context.sink != nullptr) return context.sink->take(context.output_row.data(), context.output_row.size());
  if (context.distinct != nullptr) {
    bool fresh = false;
    TAVIX_TRY(context.distinct->insertRow(context.output_row, fresh));
    if (!fresh) return Error::ok;
  }
  if (context.ordered != nullptr)
    return context.ordered->add(context.output_row, row, plan.columnCount());
  bool stop = false;
  TAVIX_TRY(emitUnsortedRow(*context.writer, context.emission, context.output_row, stop));
  return stop ? Error::LimitReached : Error::ok;
}

Error probeLevel(FieldSlice* row, uint64_t write_index, uint64_t depth, bool where_passed,
                 JoinProbeContext& context);

// Places each build row of `rows` (join `depth`) at `write_index` in turn
// and probes on. `where_passed`: the WHERE has been tested on the FROM
// record already.
Error expandBuildRows(FieldSlice* row, uint64_t write_index, uint64_t depth,
                      const JoinKeyRows& rows, bool where_passed, JoinProbeContext& context) {
  const JoinPlan& plan = *context.plan;
  const JoinKeyMap& map = plan.key_maps[depth];
  const uint64_t width = plan.widths[depth];
  for (uint64_t i = rows.first; i != kNoBuildRow; i = map.rows[i].next) {
    const JoinBuildRow& build = map.rows[i];
    for (uint64_t k = 0; k < width; ++k)
      row[write_index + k] = k < build.field_count ? build.fields[k] : FieldSlice();
    TAVIX_TRY(probeLevel(row, write_index + width, depth + 1, where_passed, context));
  }
  return Error::ok;
}

Error probeLevel(FieldSlice* row, uint64_t write_index, uint64_t depth, bool where_passed,
                 JoinProbeContext& context) {
  const JoinPlan& plan = *context.plan;
  if (depth < plan.joinCount()) {
    const JoinKeyRows* rows = plan.key_maps[depth].find(row[plan.left_key_columns[depth]]);
    if (rows == nullptr) return Error::ok;
    return expandBuildRows(row, write_index, depth, *rows, where_passed, context);
  }
  if (!where_passed && !passesWhere(plan, row)) return Error::ok;
  return emitJoinedRow(row, context);
}

// `field` copied as its two words. The cut has just stored a FROM field's
// pointer and length one word at a time, and a copy by one 16-byte load
// cannot take them from the pending stores: it waits until both reach the
// cache, and the number reading that follows waits on it, on every record.
inline FieldSlice wordwiseCopy(const FieldSlice& field) noexcept {
  const char* data = field.data();
  size_t size = field.size();
#if defined(__GNUC__)
  // Keeps the compiler from joining the two loads into one.
  asm("" : "+r"(data), "+r"(size));
#endif
  return FieldSlice(data, size);
}

// Whether the rows of this loop can be written as the FROM values and the
// build rows' rendered tails: a plan of that shape, and rows that go
// straight to a CSV writer with its delimiter, all of them (no OFFSET,
// LIMIT, DISTINCT or ORDER BY).
bool writesDirectly(const JoinProbeContext& context) noexcept {
  const JoinPlan& plan = *context.plan;
  return plan.direct_rows && context.sink == nullptr && context.distinct == nullptr && context.ordered == nullptr &&
         context.emission.limit < 0 && context.emission.offset <= 0 &&
         context.writer->kind == ResultWriterKind::csv &&
         context.writer->csv.delimiter == plan.direct_delimiter;
}

// Writes one CSV row per build row of `rows`: the FROM record's output
// values, then the build row's rendered tail. The WHERE, if any, has passed
// on the FROM record.
Error writeDirectRows(const RecordFields& fields, const JoinKeyRows& rows, JoinProbeContext& context) {
  const JoinPlan& plan = *context.plan;
  const size_t m = plan.direct_from_columns.size();
  FieldSlice* values = context.output_row.data();
  for (size_t i = 0; i < m; ++i) {
    const uint64_t c = plan.direct_from_columns[i];
    values[i] = c < fields.count() ? fields.fields()[c] : FieldSlice();
  }
  const JoinKeyMap& map = plan.key_maps[0];
  CsvResultWriter& writer = context.writer->csv;
  UnsortedEmission& emission = context.emission;
  for (uint64_t i = rows.first; i != kNoBuildRow; i = map.rows[i].next) {
    TAVIX_TRY(writeCsvRowWithTail(writer, {values, m}, map.rows[i].csv_tail));
    ++emission.written;
    if (emission.flush_periodically && emission.written % kUnsortedFlushRows == 0)
      TAVIX_TRY(flushResultWriter(*context.writer));
  }
  return Error::ok;
}

// Whether the rows of this loop go to a sink with nothing between: one join,
// no DISTINCT or ORDER BY, and a WHERE (if any) tested on the FROM record.
bool sinksDirectly(const JoinProbeContext& context) noexcept {
  const JoinPlan& plan = *context.plan;
  return context.sink != nullptr && plan.joinCount() == 1 && context.distinct == nullptr &&
         context.ordered == nullptr && context.emission.limit != 0 &&
         (plan.where == nullptr || plan.where_from_span > 0);
}

// Hands the sink one row per build row of `rows`: the output columns taken
// from the FROM record's fields and the build row's, as the combined row
// would hold them (a missing field is the empty text), tagged with the build
// row's number plus one. The WHERE, if any,
// has passed on the FROM record.
Error sinkDirectRows(const RecordFields& fields, const JoinKeyRows& rows, JoinProbeContext& context) {
  const JoinPlan& plan = *context.plan;
  const uint64_t from_columns = plan.fromColumnCount();
  const uint64_t* columns = plan.selected_columns.data();
  FieldSlice* values = context.output_row.data();
  const size_t n = context.output_row.size();
  const FieldSlice* from = fields.fields();
  const uint64_t from_count = fields.count();
  const JoinKeyMap& map = plan.key_maps[0];
  // Most keys have one build row: each row's values are placed in one walk
  // over the output columns.
  for (uint64_t r = rows.first; r != kNoBuildRow; r = map.rows[r].next) {
    const JoinBuildRow& build = map.rows[r];
    for (size_t i = 0; i < n; ++i) {
      const uint64_t c = columns[i];
      const uint64_t k = c - from_columns;
      values[i] = c < from_columns ? (c < from_count ? wordwiseCopy(from[c]) : FieldSlice())
                                   : (k < build.field_count ? build.fields[k] : FieldSlice());
    }
    TAVIX_TRY(context.sink->takeTagged(values, n, r + 1));
  }
  return Error::ok;
}

void placeFromFields(const FieldSlice* fields, uint64_t count, uint64_t from_columns,
                     FieldSlice* row) noexcept {
  for (uint64_t i = 0; i < from_columns; ++i) row[i] = i < count ? fields[i] : FieldSlice();
}

// Fixes the route and the first cut of the loop of `context`.
void settleRoute(JoinProbeContext& context) noexcept {
  const JoinPlan& plan = *context.plan;
  using Route = JoinProbeContext::Route;
  context.route = writesDirectly(context) ? Route::written
                  : sinksDirectly(context) ? Route::sunk
                                           : Route::expanded;
  // Cutting a few fields more costs next to nothing, cutting twice does: a
  // record is cut as far as everything reads at once unless that is far
  // beyond the key and the WHERE.
  uint64_t first_cut = std::max(plan.left_key_columns[0] + 1, plan.where_from_span);
  if (plan.from_span <= first_cut + kCutAheadFields) first_cut = std::max(first_cut, plan.from_span);
  context.first_cut = first_cut;
}

}  // namespace

Error probeJoinRow(FieldSlice* row, uint64_t write_index, uint64_t depth,
                   JoinProbeContext& context) {
  return probeLevel(row, write_index, depth, /*where_passed=*/false, context);
}

Error probeJoinLine(FieldSlice line, RecordFields& fields, ArenaAllocator& scratch,
                    FieldSlice* row, JoinProbeContext& context) {
  const bool quote_free = line.empty() || std::memchr(line.data(), '"', line.size()) == nullptr;
  return probeJoinLine(line, quote_free, fields, scratch, row, context);
}

Error probeJoinLine(FieldSlice line, bool quote_free, RecordFields& fields, ArenaAllocator& scratch,
                    FieldSlice* row, JoinProbeContext& context) {
  using Route = JoinProbeContext::Route;
  if (context.route == Route::unknown) [[unlikely]] settleRoute(context);
  const JoinPlan& plan = *context.plan;
  fields.reset(line, quote_free, context.delimiter);
  // The first join's key is a FROM column: a record whose key has no build
  // row is dropped after one field cut and one lookup. A WHERE over FROM
  // columns only is tested first, on the same cut, since it drops the
  // record whatever the joined tables hold.
  const uint64_t key_column = plan.left_key_columns[0];
  const uint64_t where_span = plan.where_from_span;
  TAVIX_TRY(fields.need(context.first_cut, scratch));
  if (where_span > 0) {
    placeFromFields(fields.fields(), fields.count(), where_span, row);
    if (!passesWhere(plan, row)) return Error::ok;
  }
  const FieldSlice key = key_column < fields.count() ? fields.fields()[key_column] : FieldSlice();
  const JoinKeyRows* rows = plan.key_maps[0].find(key);
  if (rows == nullptr) return Error::ok;
  // Only the FROM columns something reads are cut and placed; the rest of
  // the FROM part of the row is never looked at.
  TAVIX_TRY(fields.need(plan.from_span, scratch));
  if (context.route == Route::sunk) return sinkDirectRows(fields, *rows, context);
  if (context.route == Route::written) return writeDirectRows(fields, *rows, context);
  placeFromFields(fields.fields(), fields.count(), plan.from_span, row);
  return expandBuildRows(row, plan.fromColumnCount(), 0, *rows, where_span > 0, context);
}

Error probeJoinFields(const FieldSlice* fields, uint64_t count, FieldSlice* row,
                      JoinProbeContext& context) {
  const uint64_t from_columns = context.plan->fromColumnCount();
  placeFromFields(fields, count, from_columns, row);
  return probeJoinRow(row, from_columns, 0, context);
}

}  // namespace tavix
