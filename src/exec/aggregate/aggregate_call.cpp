#include "exec/aggregate/aggregate_call.h"

#include <iterator>

#include "common/text.h"
#include "sql/keyword_scan.h"
#include "sql/select_classify.h"

namespace tavix {
namespace {

// The kind each aggregate keyword names, position for position.
constexpr AggregateKind kKeywordKinds[] = {
    AggregateKind::count,       AggregateKind::sum,          AggregateKind::avg,
    AggregateKind::min,         AggregateKind::max,          AggregateKind::group_concat,
    AggregateKind::group_concat, AggregateKind::median,      AggregateKind::var_samp,
    AggregateKind::var_pop,     AggregateKind::var_samp,     AggregateKind::var_samp,
    AggregateKind::stddev_pop,  AggregateKind::stddev_samp,  AggregateKind::stddev_samp,
    AggregateKind::stddev_samp,
};
static_assert(std::size(kKeywordKinds) == std::size(kAggregateKeywords));

bool findKeywordKind(std::string_view name, AggregateKind& kind) noexcept {
  for (size_t i = 0; i < std::size(kAggregateKeywords); ++i) {
    if (equalsIgnoreCase(name, kAggregateKeywords[i])) {
      kind = kKeywordKinds[i];
      return true;
    }
  }
  return false;
}

// The separator of a group_concat written after its first ',': trimmed, one
// pair of enclosing single quotes removed (the bytes between them kept as
// they are).
std::string_view separatorText(std::string_view after_comma) noexcept {
  const std::string_view s = trim(after_comma);
  if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'') return s.substr(1, s.size() - 2);
  return s;
}

}  // namespace

AggregateCall parseAggregateCall(std::string_view text) {
  constexpr size_t npos = std::string_view::npos;
  const std::string_view t = trim(text);
  const size_t open = t.find('(');
  if (open == npos || t.back() != ')' || t.size() - 1 <= open) return AggregateCall{};
  AggregateCall call;
  if (!findKeywordKind(trim(t.substr(0, open)), call.kind)) return AggregateCall{};
  std::string_view column = trim(t.substr(open + 1, t.size() - open - 2));

  const size_t distinct_end = call.kind == AggregateKind::count
                                  ? sql_scan::matchKeyword(column, 0, "distinct ")
                                  : npos;
  if (distinct_end != npos) {
    call.kind = AggregateKind::count_distinct;
    column = trim(column.substr(distinct_end));
  } else if (call.kind == AggregateKind::group_concat) {
    const size_t comma = column.find(',');
    if (comma == npos) {
      call.separator.emplace(",");
    } else {
      call.separator.emplace(separatorText(column.substr(comma + 1)));
      column = trim(column.substr(0, comma));
    }
  }
  if (column != "*") call.column.emplace(column);
  call.text.assign(t);
  call.present = true;
  return call;
}

}  // namespace tavix
