#include "sql/select_item.h"

#include <algorithm>

#include "common/number_rule.h"
#include "common/text.h"
#include "sql/keyword_scan.h"

namespace tavix {

namespace {

// Words that end or continue an expression and so are never an implicit
// alias: "a IS NULL", "price DESC" and "CASE ... END" keep their last word.
constexpr std::string_view kReservedWords[] = {
    "end", "then", "else", "when", "case", "from", "and", "or",       "not",
    "is",  "null", "in",   "like", "asc",  "desc", "as",  "distinct",
};

bool isIdentifier(std::string_view s) noexcept {
  if (s.empty() || !(isAsciiLetter(s[0]) || s[0] == '_')) return false;
  for (char c : s)
    if (!isIdentByte(c)) return false;
  return true;
}

bool isReservedWord(std::string_view s) noexcept {
  for (std::string_view w : kReservedWords)
    if (equalsIgnoreCase(s, w)) return true;
  return false;
}

}  // namespace

SelectAlias splitSelectAlias(std::string_view item) noexcept {
  constexpr size_t npos = std::string_view::npos;
  size_t last_as = npos;
  size_t last_as_end = npos;
  size_t last_space = npos;
  // Only bytes at depth 0 outside quotes are offered; none stops the scan.
  sql_scan::findAtTopLevel(item, 0, [&](size_t i) {
    if (!isSpace(item[i])) return false;
    last_space = i;
    if (const size_t end = sql_scan::matchKeyword(item, i, " as "); end != npos) {
      last_as = i;
      last_as_end = end;
    }
    return false;
  });
  if (last_as != npos) {
    const std::string_view alias = trim(item.substr(last_as_end));
    const bool one_word = std::none_of(alias.begin(), alias.end(),
                                       [](char c) { return isSpace(c) || c == '('; });
    if (!alias.empty() && one_word) return SelectAlias{trim(item.substr(0, last_as)), alias, true};
  }
  if (last_space != npos) {
    const std::string_view expression = trim(item.substr(0, last_space));
    const std::string_view alias = trim(item.substr(last_space + 1));
    if (!expression.empty() && isIdentifier(alias) && !isReservedWord(alias))
      return SelectAlias{expression, alias, true};
  }
  return SelectAlias{item, {}, false};
}

RoundCall unwrapRoundCall(std::string_view text) noexcept {
  // "round(,0)": the name, an empty inner text, a comma, one digit, ")".
  constexpr size_t kShortestCall = 9;
  const std::string_view t = trim(text);
  if (t.size() < kShortestCall || !startsWithIgnoreCase(t, "round(") || t.back() != ')')
    return RoundCall{};
  const std::string_view args = t.substr(6, t.size() - 7);
  const size_t comma = args.rfind(',');
  if (comma == std::string_view::npos) return RoundCall{};
  uint8_t digits = 0;
  if (parseInteger(trim(args.substr(comma + 1)), digits) != Error::ok) return RoundCall{};
  return RoundCall{trim(args.substr(0, comma)), digits, true};
}

}  // namespace tavix
