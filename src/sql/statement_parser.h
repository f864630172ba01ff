// The SELECT statement parser.
//
// `parseQuery` turns one statement text into a `ParsedQuery`
// (parsed_query.h): the select list, the FROM source, the INNER JOINs, the
// WHERE and HAVING trees (condition_parser.h), GROUP BY, ORDER BY, LIMIT and
// OFFSET. There is no tokenizer: keywords are found by ASCII case-insensitive
// search, most of them only outside single-quoted strings and at parenthesis
// depth 0, and each clause is the text between its keyword and the next
// keyword that may follow it. Set operations, sub-queries other than
// `x IN (SELECT ...)`, and outer, cross and left joins are refused with named
// errors before anything runs.
//
// The caller owns the `ParsedQuery` it receives; it is released with
// `freeParsedQuery` or its destructor. Every function here keeps no state and
// may be called from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "sql/keyword_scan.h"
#include "sql/parsed_query.h"

namespace tavix {

// Parses `sql` into `out`. Returns UnsupportedSetOperation,
// SubqueriesNotSupported, InvalidQuery, UnsupportedJoinType,
// InvalidJoinSyntax, the errors of `parseCondition` for WHERE and HAVING,
// InvalidCharacter / Overflow / NegativeLimitNotAllowed /
// NegativeOffsetNotAllowed for LIMIT and OFFSET, or OutOfMemory; on failure
// `out` is left unchanged and nothing stays allocated.
[[nodiscard]] Error parseQuery(std::string_view sql, ParsedQuery& out);

// Releases everything `query` owns and leaves it empty (condition trees of any
// length are released without deep recursion).
void freeParsedQuery(ParsedQuery& query) noexcept;

// Reads a table reference: a single-quoted path (quotes removed) or the text
// up to the first whitespace, then an optional alias, itself optionally
// after "AS ". `alias` is lower-cased and empty when there is none. Returns
// InvalidQuery for an empty reference or an unclosed quote.
[[nodiscard]] Error parseTableRef(std::string_view text, std::string& table, std::string& alias);

// Splits `text` at every "," outside single-quoted strings and at parenthesis
// depth 0; returns the trimmed pieces in order, empty ones dropped.
std::vector<std::string> splitTopLevelCommas(std::string_view text);

// Returns a copy of `text` without the prefixes "<alias>." (alias in any
// case) where the alias starts an identifier and the "." is followed by a
// letter or "_". Single-quoted strings are copied unchanged: with alias `t`,
// 'http://t.co' stays as written.
std::string stripAliasPrefixes(std::string_view text, std::string_view alias);

// Finds the first join keyword outside single-quoted strings: the first
// "INNER JOIN" (any case, any whitespace between the words) followed by
// whitespace, when it stands at the start of the text or after whitespace
// and no plain join comes before it; else the first "join" at position 1 or
// later with whitespace on both sides. Its end is just after "join". A
// quoted path or literal such as 'a join b' is no join. nullopt when there
// is none.
std::optional<KeywordSpan> findJoinKeyword(std::string_view text);

// Returns the position of `keyword` ("WHERE", "GROUP BY", ...; any case, any
// whitespace between the words of "GROUP BY" and "ORDER BY") as a clause
// keyword: outside single-quoted strings, at parenthesis depth 0, with
// whitespace or the text's start before it and whitespace or the text's end
// after it. npos when there is none.
size_t findClauseKeyword(std::string_view text, std::string_view keyword);

// Like findClauseKeyword, with the end of the keyword as found.
std::optional<KeywordSpan> findClauseKeywordSpan(std::string_view text, std::string_view keyword);

// Whether `keyword` (any case) starts somewhere outside single-quoted
// strings. Each space of the keyword stands for any run of whitespace, so
// "FULL OUTER JOIN" also matches across tabs and line breaks.
bool containsKeywordOutsideQuotes(std::string_view text, std::string_view keyword);

}  // namespace tavix
