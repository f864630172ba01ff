// Keyword search over statement and condition texts.
//
// The parser has no tokenizer: clause, join and condition keywords are found
// by ASCII case-insensitive search, most of them only outside single-quoted
// strings and at parenthesis depth 0. These helpers hold that scanning rule
// in one place. A "'" opens a string that the next "'" closes (an unclosed
// string runs to the end of the text); "(" adds one to the depth and ")"
// takes one away, never below 0; double quotes are ordinary bytes.
//
// Internal to src/sql. Everything here is pure and may be called from any
// thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/text.h"

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

// Whether `keyword` (letters in any case, other bytes exact) starts at `pos`.
// The first byte is tested inline, since most positions fail there.
inline bool keywordAt(std::string_view text, size_t pos, std::string_view keyword) noexcept {
  return pos < text.size() && toLowerAscii(text[pos]) == toLowerAscii(keyword[0]) &&
         startsWithIgnoreCase(text.substr(pos), keyword);
}

// Matches `keyword` at `pos`: letters in any case, every other byte exactly,
// except that each space of the keyword stands for a run of one or more
// whitespace bytes. Returns the end of the match, or npos.
size_t matchSpacedKeyword(std::string_view text, size_t pos, std::string_view keyword) noexcept;

}  // namespace tavix::sql_scan
