#include "sql/select_classify.h"

#include <new>

#include "common/text.h"
#include "sql/keyword_scan.h"
#include "sql/select_item.h"

namespace tavix {

namespace {

constexpr size_t npos = std::string_view::npos;

bool isAggregateName(std::string_view name) noexcept {
  for (std::string_view a : kAggregateKeywords)
    if (equalsIgnoreCase(name, a)) return true;
  return false;
}

// A CASE is an aggregate when an aggregate call starts an identifier before
// its first " then ": CASE WHEN sum(a) > 1 THEN ... counts, while an
// aggregate after THEN does not.
bool caseCallsAggregate(std::string_view text) noexcept {
  const std::optional<KeywordSpan> then_span = sql_scan::findKeyword(text, " then ");
  if (!then_span) return false;
  const size_t then_at = then_span->start;
  for (size_t p = 0; p < then_at; ++p) {
    if (p > 0 && isIdentByte(text[p - 1])) continue;
    for (std::string_view name : kAggregateKeywords) {
      const size_t end = p + name.size();
      if (end < then_at && text[end] == '(' && startsWithIgnoreCase(text.substr(p), name))
        return true;
    }
  }
  return false;
}

// Names before "(" that do not make an item computed for the plain
// executors: the aggregates that the aggregating executors take, compared in
// any case, and the rest compared byte for byte in lower case.
constexpr std::string_view kAggregateCallsAnyCase[] = {
    "sum", "avg", "min", "max", "count", "group_concat", "count_distinct",
};
constexpr std::string_view kAggregateCallsLowerCase[] = {
    "string_agg", "median",     "variance",    "var", "var_pop", "var_samp",
    "stddev",     "stddev_pop", "stddev_samp", "std", "round",
};

bool isComputedItem(std::string_view item) noexcept {
  const std::string_view e = trim(splitSelectAlias(item).expression);
  if (e.size() > 4 && startsWithIgnoreCase(e, "case") && isSpace(e[4])) return true;
  if (sql_scan::findKeyword(e, " is null") || sql_scan::findKeyword(e, " is not null"))
    return true;
  const size_t paren = e.find('(');
  if (paren == npos) return false;
  const std::string_view name = trim(e.substr(0, paren));
  if (name.empty()) return false;
  for (std::string_view n : kAggregateCallsAnyCase)
    if (equalsIgnoreCase(name, n)) return false;
  for (std::string_view n : kAggregateCallsLowerCase)
    if (name == n) return false;
  if (startsWithIgnoreCase(name, "case")) return false;
  return true;
}

// The STRFTIME format of a DATE_PART part, or empty for an unknown part.
std::string_view datePartFormat(std::string_view part) noexcept {
  static constexpr struct {
    std::string_view part;
    std::string_view format;
  } kFormats[] = {
      {"year", "%Y"}, {"month", "%m"},  {"day", "%d"},
      {"hour", "%H"}, {"minute", "%M"}, {"second", "%S"},
  };
  for (const auto& f : kFormats)
    if (equalsIgnoreCase(part, f.part)) return f.format;
  return {};
}

// Rewrites the first DATE_PART of `item`; returns false when it has none in
// the recognised form. The ")" taken is the first one after "DATE_PART(".
bool rewriteOneDatePart(std::string& item) {
  constexpr std::string_view kCall = "date_part(";
  const std::string_view text = item;
  const size_t call = findIgnoreCase(text, kCall);
  if (call == npos) return false;
  const size_t args_start = call + kCall.size();
  if (args_start >= text.size()) return false;
  const size_t close = text.find(')', args_start);
  if (close == npos) return false;
  const std::string_view args = text.substr(args_start, close - args_start);
  const size_t q1 = args.find('\'');
  if (q1 == npos) return false;
  const size_t q2 = args.find('\'', q1 + 1);
  if (q2 == npos) return false;
  const size_t comma = args.find(',', q2 + 1);
  if (comma == npos) return false;
  const std::string_view format = datePartFormat(trim(args.substr(q1 + 1, q2 - q1 - 1)));
  if (format.empty()) return false;
  const std::string_view value = trim(args.substr(comma + 1));
  std::string rewritten;
  rewritten.reserve(text.size() + 8);
  rewritten.append(text.substr(0, call));
  rewritten.append("STRFTIME('");
  rewritten.append(format);
  rewritten.append("', ");
  rewritten.append(value);
  rewritten.push_back(')');
  rewritten.append(text.substr(close + 1));
  item = std::move(rewritten);
  return true;
}

}  // namespace

bool isAggregateExpr(std::string_view item) noexcept {
  std::string_view text = splitSelectAlias(item).expression;
  for (RoundCall r = unwrapRoundCall(text); r.present; r = unwrapRoundCall(text)) text = r.inner;
  const std::string_view t = trim(text);
  if (startsWithIgnoreCase(t, "case")) return caseCallsAggregate(text);
  const size_t paren = text.find('(');
  if (paren == npos) return false;
  const std::string_view name = trim(text.substr(0, paren));
  return isAggregateName(name);
}

bool selectHasScalarExprs(const ParsedQuery& query) noexcept {
  if (query.select_star) return false;
  for (const std::string& item : query.select_items)
    if (isComputedItem(item)) return true;
  return false;
}

Error rewriteDatePart(std::vector<std::string>& items) {
  try {
    for (std::string& item : items) rewriteOneDatePart(item);
    return Error::ok;
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

}  // namespace tavix
