#include "common/text.h"

namespace tavix {

std::string_view trimLeft(std::string_view s) noexcept {
  size_t b = 0;
  while (b < s.size() && isSpace(s[b])) ++b;
  return s.substr(b);
}

std::string_view trimRight(std::string_view s) noexcept {
  size_t e = s.size();
  while (e > 0 && isSpace(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string_view trim(std::string_view s) noexcept { return trimRight(trimLeft(s)); }

std::string toLowerCopy(std::string_view s) {
  std::string out(s);
  lowerInPlace(out);
  return out;
}

void lowerInPlace(std::string& s) noexcept {
  for (char& c : s) c = toLowerAscii(c);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (toLowerAscii(a[i]) != toLowerAscii(b[i])) return false;
  return true;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

bool endsWithIgnoreCase(std::string_view s, std::string_view suffix) noexcept {
  return s.size() >= suffix.size() &&
         equalsIgnoreCase(s.substr(s.size() - suffix.size()), suffix);
}

size_t findIgnoreCase(std::string_view s, std::string_view needle, size_t from) noexcept {
  if (needle.size() > s.size()) return std::string_view::npos;
  const size_t last = s.size() - needle.size();
  for (size_t i = from; i <= last; ++i) {
    if (equalsIgnoreCase(s.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

}  // namespace tavix
