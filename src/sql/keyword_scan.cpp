#include "sql/keyword_scan.h"

#include "common/text.h"

namespace tavix::sql_scan {

size_t matchSpacedKeyword(std::string_view text, size_t pos, std::string_view keyword) noexcept {
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

}  // namespace tavix::sql_scan
