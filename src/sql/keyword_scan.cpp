#include "sql/keyword_scan.h"

namespace tavix::sql_scan {

size_t matchKeywordRest(std::string_view text, size_t pos, std::string_view keyword) noexcept {
  size_t i = pos;
  for (const char k : keyword) {
    if (k == ' ') {
      if (i >= text.size() || !isSpace(text[i])) return npos;
      while (i < text.size() && isSpace(text[i])) ++i;
      continue;
    }
    if (i >= text.size() || toLowerAscii(text[i]) != toLowerAscii(k)) return npos;
    ++i;
  }
  return i;
}

std::optional<KeywordSpan> findKeyword(std::string_view text, std::string_view keyword,
                                       size_t from) noexcept {
  for (size_t p = from; p < text.size(); ++p) {
    const size_t end = matchKeyword(text, p, keyword);
    if (end != npos) return KeywordSpan{p, end};
  }
  return std::nullopt;
}

bool startsWithWord(std::string_view text, std::string_view word) noexcept {
  const size_t end = matchKeyword(text, 0, word);
  return end != npos && (end == text.size() || isSpace(text[end]) || text[end] == '(');
}

}  // namespace tavix::sql_scan
