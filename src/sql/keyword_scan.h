// Keyword search over statement, condition and select-expression texts.
//
// The parser has no tokenizer: clause, join, condition and expression
// keywords are found by ASCII case-insensitive search, most of them only
// outside single-quoted strings and at parenthesis depth 0. These helpers
// hold that scanning rule and the one keyword matcher every search uses.
//
// Keywords are written with single spaces ("order by", " is not null",
// " then "); each space of a keyword stands for a run of one or more
// whitespace bytes (9 to 13 and 32) in the text, so a statement spread over
// lines or indented with tabs reads as the same statement on one line.
//
// A "'" opens a string that the next "'" closes (an unclosed string runs to
// the end of the text); "(" adds one to the depth and ")" takes one away,
// never below 0; double quotes are ordinary bytes.
//
// Used by src/sql and by the select-expression compiler. Everything here is
// pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "common/text.h"

namespace tavix {

// A keyword found in a text: [start, end).
struct KeywordSpan {
  size_t start = 0;
  size_t end = 0;
};

}  // namespace tavix

namespace tavix::sql_scan {

inline constexpr size_t npos = std::string_view::npos;

// Returns the position just after the "'" that closes the string opened at
// `quote_pos`, or `text.size()` when the string is never closed.
inline size_t skipQuoted(std::string_view text, size_t quote_pos) noexcept {
  const size_t close = text.find('\'', quote_pos + 1);
  return close == npos ? text.size() : close + 1;
}

// Returns the first position p >= `from` that lies outside single-quoted
// strings, at depth 0 (counted from `from`) and holds none of "(", ")", "'",
// for which `accept(p)` is true; npos when there is none.
template <typename Accept>
size_t findAtTopLevel(std::string_view text, size_t from, Accept&& accept) {
  size_t depth = 0;
  size_t i = from;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'') {
      i = skipQuoted(text, i);
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (depth > 0) --depth;
    } else if (depth == 0 && accept(i)) {
      return i;
    }
    ++i;
  }
  return npos;
}

// Like findAtTopLevel, but parentheses do not count: every position outside
// single-quoted strings (other than a quote itself) is offered to `accept`.
template <typename Accept>
size_t findOutsideQuotes(std::string_view text, size_t from, Accept&& accept) {
  size_t i = from;
  while (i < text.size()) {
    if (text[i] == '\'') {
      i = skipQuoted(text, i);
      continue;
    }
    if (accept(i)) return i;
    ++i;
  }
  return npos;
}

size_t matchKeywordRest(std::string_view text, size_t pos, std::string_view keyword) noexcept;

// The keyword matcher. Matches `keyword` at `pos`: letters in any case,
// every other byte exactly, each space of the keyword a run of one or more
// whitespace bytes (taken whole). Returns the end of the match, or npos.
// The first byte is tested inline, since most positions fail there.
inline size_t matchKeyword(std::string_view text, size_t pos, std::string_view keyword) noexcept {
  if (pos >= text.size()) return npos;
  const char k = keyword[0];
  if (k == ' ' ? !isSpace(text[pos]) : toLowerAscii(text[pos]) != toLowerAscii(k)) return npos;
  return matchKeywordRest(text, pos, keyword);
}

// Whether the bytes around [start, end) of `text` are whitespace or the
// text's ends: the keyword there stands as a word of its own.
inline bool standsAlone(std::string_view text, size_t start, size_t end) noexcept {
  return (start == 0 || isSpace(text[start - 1])) && (end == text.size() || isSpace(text[end]));
}

// The first match of `keyword` at or after `from`, looked for at every
// position (no quote or parenthesis rule); nullopt when there is none.
std::optional<KeywordSpan> findKeyword(std::string_view text, std::string_view keyword,
                                       size_t from = 0) noexcept;

// Whether `text` starts with the word `word` (any case): followed by
// whitespace, "(" or the end. "select" starts "select a" and "select(", not
// "selection".
bool startsWithWord(std::string_view text, std::string_view word) noexcept;

}  // namespace tavix::sql_scan
