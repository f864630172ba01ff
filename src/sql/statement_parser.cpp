#include "sql/statement_parser.h"

#include <algorithm>
#include <new>
#include <utility>

#include "common/number_rule.h"
#include "common/text.h"
#include "sql/condition_parser.h"
#include "sql/keyword_scan.h"

namespace tavix {

namespace {

using sql_scan::npos;

// True when `word` (any case) stands at `pos` with a whitespace byte before
// and after it.
bool isSpacedWordAt(std::string_view text, size_t pos, std::string_view word) noexcept {
  if (pos == 0 || !isSpace(text[pos - 1])) return false;
  const size_t end = sql_scan::matchKeyword(text, pos, word);
  return end != npos && end < text.size() && isSpace(text[end]);
}

// A set operation is UNION, INTERSECT or EXCEPT between whitespace, outside
// single-quoted strings (parentheses do not matter).
bool hasSetOperation(std::string_view stmt) {
  return sql_scan::findOutsideQuotes(stmt, 0, [&](size_t p) {
           return isSpacedWordAt(stmt, p, "union") || isSpacedWordAt(stmt, p, "intersect") ||
                  isSpacedWordAt(stmt, p, "except");
         }) != npos;
}

// A sub-query is "(" then optional whitespace then the word "select",
// outside single-quoted strings: "(selection = 'x')" is a condition on a
// column. The one form accepted is a list sub-query: the word before the "("
// (whitespace skipped) is exactly IN.
bool hasRefusedSubquery(std::string_view stmt) {
  return sql_scan::findOutsideQuotes(stmt, 0, [&](size_t p) {
           if (stmt[p] != '(') return false;
           if (!sql_scan::startsWithWord(trimLeft(stmt.substr(p + 1)), "select")) return false;
           const size_t word_end = trimRight(stmt.substr(0, p)).size();
           size_t word_start = word_end;
           while (word_start > 0 && isIdentByte(stmt[word_start - 1])) --word_start;
           return !equalsIgnoreCase(stmt.substr(word_start, word_end - word_start), "in");
         }) != npos;
}

// LEFT, RIGHT, OUTER, FULL and CROSS joins, with any whitespace between the
// words; a plain search without word boundaries.
bool hasRefusedJoinType(std::string_view rest) {
  for (std::string_view keyword :
       {"left join", "right join", "outer join", "full join", "full outer join", "cross join"}) {
    if (containsKeywordOutsideQuotes(rest, keyword)) return true;
  }
  return false;
}

// The FROM keyword: the first "from" at depth 0 outside quotes, scanning from
// `from`, with whitespace before it and whitespace or the end after it.
size_t findFromKeyword(std::string_view stmt, size_t from) {
  return sql_scan::findAtTopLevel(stmt, from, [&](size_t p) {
    if (p == 0) return false;
    const size_t end = sql_scan::matchKeyword(stmt, p, "from");
    return end != npos && sql_scan::standsAlone(stmt, p, end);
  });
}

Error parseSelectList(std::string_view text, ParsedQuery& q) {
  if (startsWithIgnoreCase(text, "distinct") && (text.size() == 8 || isSpace(text[8]))) {
    q.distinct = true;
    text = trim(text.substr(8));
  }
  if (text == "*") {
    q.select_star = true;
    return Error::ok;
  }
  q.select_items = splitTopLevelCommas(text);
  // SELECT FROM t is let through to the executors, but DISTINCT needs
  // something to be distinct over.
  if (q.distinct && q.select_items.empty()) return Error::InvalidQuery;
  return Error::ok;
}

// The clause keywords that end a FROM reference or an ON text. HAVING is
// one of them: a whole-table aggregate may carry it without GROUP BY, and
// read as part of an alias or a key column it would only make the statement
// fail.
constexpr std::string_view kReferenceEnds[] = {"WHERE", "GROUP BY", "HAVING", "ORDER BY", "LIMIT",
                                               "OFFSET"};

// The smallest position in `text` of a clause keyword that ends a FROM
// reference or an ON text, or npos. Only whole words count: `b.k_limit` and
// `b.order_id` are column names.
size_t findReferenceEnd(std::string_view text) {
  size_t best = npos;
  for (std::string_view k : kReferenceEnds) best = std::min(best, findClauseKeyword(text, k));
  return best;
}

// Splits an ON text at its first usable "=" into lower-cased key columns.
Error splitJoinCondition(std::string_view on, JoinClause& join) {
  if (on.empty() || (on.size() == 1 && on[0] != '=')) return Error::InvalidJoinSyntax;
  size_t eq = npos;
  if (on[0] == '=') {
    eq = 0;
  } else {
    for (size_t i = 1; i < on.size(); ++i) {
      if (on[i] == '=' && on[i - 1] != '!' && on[i - 1] != '<' && on[i - 1] != '>') {
        eq = i;
        break;
      }
    }
    if (eq == npos) return Error::InvalidJoinSyntax;
  }
  join.left_column = toLowerCopy(trim(on.substr(0, eq)));
  join.right_column = toLowerCopy(trim(on.substr(eq + 1)));
  return Error::ok;
}

// Reads the FROM table and every INNER JOIN of `rest` (the text after FROM);
// `keyword` is the first join keyword. `clauses` receives the text after the
// last ON condition.
Error parseJoins(std::string_view rest, KeywordSpan keyword, ParsedQuery& q,
                 std::string_view& clauses) {
  std::string from_alias;
  TAVIX_TRY(parseTableRef(trim(rest.substr(0, keyword.start)), q.source, from_alias));
  const std::string* left_alias = &from_alias;
  size_t pos = keyword.end;
  for (;;) {
    const std::string_view after = trimLeft(rest.substr(pos));
    // A quoted path may hold " on ": only an ON outside quotes counts.
    KeywordSpan on;
    on.start = sql_scan::findOutsideQuotes(after, 0, [&](size_t p) {
      on.end = sql_scan::matchKeyword(after, p, " on ");
      return on.end != npos;
    });
    if (on.start == npos) return Error::InvalidJoinSyntax;
    const std::string_view condition = after.substr(on.end);
    const std::optional<KeywordSpan> next = findJoinKeyword(condition);
    const size_t clause_at = findReferenceEnd(condition);
    // A join keyword after the first clause keyword belongs to that clause.
    const bool ends_at_join = next && next->start <= clause_at;
    const size_t end = ends_at_join ? next->start : std::min(clause_at, condition.size());

    JoinClause join;
    TAVIX_TRY(parseTableRef(trim(after.substr(0, on.start)), join.table, join.alias));
    TAVIX_TRY(splitJoinCondition(trim(condition.substr(0, end)), join));
    join.left_alias = *left_alias;
    q.joins.push_back(std::move(join));
    left_alias = &q.joins.back().alias;
    if (!ends_at_join) {
      clauses = condition.substr(end);
      return Error::ok;
    }
    pos = static_cast<size_t>(condition.data() - rest.data()) + next->end;
  }
}

// Splits ORDER BY text into keys: each key runs to the next "," (every comma
// counts), loses a " DESC" or " ASC" suffix (cut at its first occurrence) and
// is lower-cased. A trailing comma adds no key; ",," in the middle adds an
// empty one.
void parseOrderBy(std::string_view text, OrderByClause& order) {
  bool first = true;
  do {
    const size_t comma = text.find(',');
    std::string_view key = trim(text.substr(0, comma));
    const std::string_view remainder =
        comma == npos ? std::string_view() : trim(text.substr(comma + 1));
    bool descending = false;
    if (const auto d = sql_scan::findKeyword(key, " desc")) {
      key = key.substr(0, d->start);
      descending = true;
    } else if (const auto a = sql_scan::findKeyword(key, " asc")) {
      key = key.substr(0, a->start);
    }
    std::string column = toLowerCopy(trim(key));
    if (first) {
      order.primary_column = std::move(column);
      order.primary_descending = descending;
      first = false;
    } else {
      order.extra_keys.push_back(OrderByItem{std::move(column), descending});
    }
    text = remainder;
  } while (!text.empty());
}

// One row of the clause table: a clause keyword and the keywords that may end
// its text.
struct ClauseRule {
  std::string_view keyword;
  std::string_view ends[5];
};

// In processing order: of two faulty clauses, the earlier row's error wins.
constexpr ClauseRule kClauseRules[] = {
    {"WHERE", {"GROUP BY", "HAVING", "ORDER BY", "LIMIT", "OFFSET"}},
    {"GROUP BY", {"HAVING", "ORDER BY", "LIMIT", "OFFSET"}},
    {"HAVING", {"ORDER BY", "LIMIT", "OFFSET"}},
    {"ORDER BY", {"LIMIT", "OFFSET"}},
    {"LIMIT", {"OFFSET"}},
    {"OFFSET", {"LIMIT"}},
};

// Finds the clause of `rule` in `clauses`: its text runs from after the
// keyword to the nearest end keyword found after it, trimmed.
bool findClause(std::string_view clauses, const ClauseRule& rule, std::string_view& text) {
  const std::optional<KeywordSpan> at = findClauseKeywordSpan(clauses, rule.keyword);
  if (!at) return false;
  const std::string_view tail = clauses.substr(at->end);
  size_t end = tail.size();
  for (std::string_view e : rule.ends) {
    if (!e.empty()) end = std::min(end, findClauseKeyword(tail, e));
  }
  text = trim(tail.substr(0, end));
  return true;
}

Error parseWindowValue(std::string_view text, Error negative_error, int32_t& out) {
  int32_t value = 0;
  TAVIX_TRY(parseInteger(text, value));
  if (value < 0) return negative_error;
  out = value;
  return Error::ok;
}

Error parseClauses(std::string_view clauses, ParsedQuery& q) {
  std::string_view text;
  if (findClause(clauses, kClauseRules[0], text)) {
    TAVIX_TRY(parseCondition(text, q.where));
    q.has_where = true;
  }
  if (findClause(clauses, kClauseRules[1], text)) q.group_by = splitTopLevelCommas(text);
  if (findClause(clauses, kClauseRules[2], text)) {
    TAVIX_TRY(parseCondition(text, q.having));
    q.has_having = true;
  }
  if (findClause(clauses, kClauseRules[3], text)) {
    parseOrderBy(text, q.order_by);
    q.has_order_by = true;
  }
  if (findClause(clauses, kClauseRules[4], text))
    TAVIX_TRY(parseWindowValue(text, Error::NegativeLimitNotAllowed, q.limit));
  if (findClause(clauses, kClauseRules[5], text))
    TAVIX_TRY(parseWindowValue(text, Error::NegativeOffsetNotAllowed, q.offset));
  return Error::ok;
}

Error parseStatement(std::string_view sql, ParsedQuery& q) {
  const std::string_view stmt = trim(sql);
  if (hasSetOperation(stmt)) return Error::UnsupportedSetOperation;
  if (hasRefusedSubquery(stmt)) return Error::SubqueriesNotSupported;

  const size_t select_at = findIgnoreCase(stmt, "select");
  if (select_at == npos || select_at + 6 >= stmt.size()) return Error::InvalidQuery;
  const size_t list_start = select_at + 6;
  const size_t from_at = findFromKeyword(stmt, list_start);
  if (from_at == npos) return Error::InvalidQuery;
  TAVIX_TRY(parseSelectList(trim(stmt.substr(list_start, from_at - list_start)), q));

  const std::string_view rest = stmt.substr(from_at + 4);
  if (hasRefusedJoinType(rest)) return Error::UnsupportedJoinType;

  const std::optional<KeywordSpan> join = findJoinKeyword(rest);
  if (join) {
    std::string_view clauses;
    TAVIX_TRY(parseJoins(rest, *join, q, clauses));
    return parseClauses(clauses, q);
  }

  const size_t ref_end = std::min(rest.size(), findReferenceEnd(rest));
  std::string table;
  std::string alias;
  TAVIX_TRY(parseTableRef(trim(rest.substr(0, ref_end)), table, alias));
  q.source = std::string(stripMatchingQuotes(table));
  if (alias.empty()) return parseClauses(rest, q);
  // A single table's alias is only a prefix to drop: `t.x` means `x`.
  for (std::string& item : q.select_items) item = stripAliasPrefixes(item, alias);
  return parseClauses(stripAliasPrefixes(rest, alias), q);
}

}  // namespace

Error parseQuery(std::string_view sql, ParsedQuery& out) {
  try {
    ParsedQuery q;
    TAVIX_TRY(parseStatement(sql, q));
    out = std::move(q);
    return Error::ok;
  } catch (const std::bad_alloc&) {
    return Error::OutOfMemory;
  }
}

void freeParsedQuery(ParsedQuery& query) noexcept { query = ParsedQuery(); }

Error parseTableRef(std::string_view text, std::string& table, std::string& alias) {
  const std::string_view t = trim(text);
  if (t.empty()) return Error::InvalidQuery;
  std::string_view name;
  std::string_view remainder;
  if (t[0] == '\'') {
    const size_t close = t.find('\'', 1);
    if (close == npos) return Error::InvalidQuery;
    name = t.substr(1, close - 1);
    remainder = t.substr(close + 1);
  } else {
    size_t end = 0;
    while (end < t.size() && !isSpace(t[end])) ++end;
    name = t.substr(0, end);
    remainder = t.substr(end);
  }
  remainder = trim(remainder);
  if (remainder.size() >= 4 && startsWithIgnoreCase(remainder, "as") && isSpace(remainder[2]))
    remainder = trim(remainder.substr(3));
  table = std::string(name);
  alias = toLowerCopy(remainder);
  return Error::ok;
}

std::vector<std::string> splitTopLevelCommas(std::string_view text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t comma =
        sql_scan::findAtTopLevel(text, start, [&](size_t p) { return text[p] == ','; });
    const std::string_view piece = trim(text.substr(start, comma == npos ? npos : comma - start));
    if (!piece.empty()) pieces.emplace_back(piece);
    if (comma == npos) return pieces;
    start = comma + 1;
  }
}

std::string stripAliasPrefixes(std::string_view text, std::string_view alias) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\'') {
      const size_t end = sql_scan::skipQuoted(text, i);
      out.append(text.substr(i, end - i));
      i = end;
      continue;
    }
    if (!alias.empty() && (i == 0 || !isIdentByte(text[i - 1])) &&
        startsWithIgnoreCase(text.substr(i), alias)) {
      const size_t dot = i + alias.size();
      if (dot + 1 < text.size() && text[dot] == '.' &&
          (isAsciiLetter(text[dot + 1]) || text[dot + 1] == '_')) {
        i = dot + 1;
        continue;
      }
    }
    out.push_back(text[i]);
    ++i;
  }
  return out;
}

std::optional<KeywordSpan> findJoinKeyword(std::string_view text) {
  const size_t join = sql_scan::findOutsideQuotes(
      text, 0, [&](size_t p) { return isSpacedWordAt(text, p, "join"); });
  // Only the first INNER JOIN is considered, and only when no plain JOIN
  // comes before it, so "a JOIN b ON ... INNER JOIN c ON ..." is read in
  // statement order.
  size_t inner_end = npos;
  const size_t inner = sql_scan::findOutsideQuotes(text, 0, [&](size_t p) {
    inner_end = sql_scan::matchKeyword(text, p, "inner join");
    return inner_end != npos && inner_end < text.size() && isSpace(text[inner_end]);
  });
  if (inner != npos && inner < join && (inner == 0 || isSpace(text[inner - 1])))
    return KeywordSpan{inner, inner_end};
  if (join != npos) return KeywordSpan{join, join + 4};
  return std::nullopt;
}

std::optional<KeywordSpan> findClauseKeywordSpan(std::string_view text, std::string_view keyword) {
  size_t end = npos;
  const size_t at = sql_scan::findAtTopLevel(text, 0, [&](size_t p) {
    end = sql_scan::matchKeyword(text, p, keyword);
    return end != npos && sql_scan::standsAlone(text, p, end);
  });
  if (at == npos) return std::nullopt;
  return KeywordSpan{at, end};
}

size_t findClauseKeyword(std::string_view text, std::string_view keyword) {
  const std::optional<KeywordSpan> span = findClauseKeywordSpan(text, keyword);
  return span ? span->start : npos;
}

bool containsKeywordOutsideQuotes(std::string_view text, std::string_view keyword) {
  return sql_scan::findOutsideQuotes(text, 0, [&](size_t p) {
           return sql_scan::matchKeyword(text, p, keyword) != npos;
         }) != npos;
}

}  // namespace tavix
