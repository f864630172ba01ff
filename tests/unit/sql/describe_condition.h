// Renders a condition tree as one line so that tests can compare whole trees
// in tables: `(eq a [1] #1 AND NOT like b [x%])`. Comparison leaves show the
// operator, the column, the value in brackets and its number after '#';
// BETWEEN adds `.. [upper] #n`, IN lists `{"1","b"}`, sub-queries `(SELECT
// ...)`, modulo tests `% m`. Date leaves read `extract:YEAR d eq 2020`.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "sql/parsed_query.h"

namespace tavix::test {

// The error's name, or "ok", so failures print readable outcomes.
inline std::string errorText(Error e) {
  return e == Error::ok ? "ok" : std::string(errorName(e));
}

inline const char* opName(ComparisonOp op) {
  static const char* const kNames[] = {"eq",   "ne",    "gt",      "ge",      "lt",         "le",
                                       "like", "ilike", "between", "is_null", "is_not_null"};
  return kNames[static_cast<int>(op)];
}

inline std::string numberText(double v) {
  std::string s = std::to_string(v);
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

inline std::string describeLeaf(const ComparisonLeaf& c) {
  std::string s;
  if (c.negated) s += "not ";
  if (c.isInList() || c.isSubquery()) {
    s += "in " + c.column + " ";
    if (c.isSubquery()) return s + "(" + c.subquery + ")";
    s += "{";
    for (size_t i = 0; i < c.in_list.size(); ++i) s += (i ? ",\"" : "\"") + c.in_list[i] + "\"";
    return s + "}";
  }
  s += std::string(opName(c.op)) + " " + c.column;
  if (c.modulus) s += " % " + numberText(*c.modulus);
  if (c.op == ComparisonOp::is_null || c.op == ComparisonOp::is_not_null) return s;
  s += " [" + c.value + "]";
  if (c.value_number) s += " #" + numberText(*c.value_number);
  if (c.op == ComparisonOp::between) {
    s += " .. [" + c.upper + "]";
    if (c.upper_number) s += " #" + numberText(*c.upper_number);
  }
  return s;
}

// Recursive; only for the small trees of test tables.
inline std::string describe(const ConditionNode& n) {
  switch (n.kind) {
    case ConditionKind::comparison:
      return describeLeaf(n.comparison);
    case ConditionKind::date_function: {
      const DateFunctionLeaf& d = n.date;
      std::string s = d.function + ":" + d.unit + " ";
      if (d.function == "dateadd") s += std::to_string(d.amount) + " ";
      s += d.column;
      if (!d.column2.empty()) s += "," + d.column2;
      return s + " " + opName(d.op) + " " + numberText(d.literal);
    }
    case ConditionKind::and_or:
      return "(" + describe(n.pair->left) + (n.pair->is_or ? " OR " : " AND ") +
             describe(n.pair->right) + ")";
    case ConditionKind::negation:
      return "NOT " + describe(*n.child);
  }
  return "?";
}

// Replaces every space outside single-quoted strings by `run`: a statement
// or condition spread over lines and tabs.
inline std::string respaced(std::string_view text, std::string_view run) {
  std::string out;
  bool quoted = false;
  for (char c : text) {
    if (c == '\'') quoted = !quoted;
    if (c == ' ' && !quoted) out += run;
    else out.push_back(c);
  }
  return out;
}

// Whitespace runs that stand for one space between words.
inline constexpr const char* kWhitespaceRuns[] = {"  ", "\t", "\n", "\r\n", " \t\r\n "};

}  // namespace tavix::test
