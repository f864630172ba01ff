// Byte-level text helpers shared by the parser, the row engine and the
// executors.
//
// A `FieldSlice` is a (pointer, length) view of a field, a header name or any
// other text; it owns nothing. Whitespace is the bytes 9 to 13 and 32, and
// letter-case folding is ASCII only ('A'..'Z' <-> 'a'..'z'); no locale is
// ever consulted. Everything here is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavix {

using FieldSlice = std::string_view;

constexpr bool isSpace(char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool isAsciiLetter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// Letters, digits and '_': the bytes of an identifier.
constexpr bool isIdentByte(char c) noexcept {
  return isAsciiLetter(c) || isDigit(c) || c == '_';
}
constexpr char toLowerAscii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
constexpr char toUpperAscii(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

// Removes whitespace (bytes 9..13 and 32) from both ends.
std::string_view trim(std::string_view s) noexcept;
std::string_view trimLeft(std::string_view s) noexcept;
std::string_view trimRight(std::string_view s) noexcept;

// ASCII-lower-cased copy.
std::string toLowerCopy(std::string_view s);
void lowerInPlace(std::string& s) noexcept;

// ASCII case-insensitive equality and prefix test.
bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept;
bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) noexcept;
bool endsWithIgnoreCase(std::string_view s, std::string_view suffix) noexcept;

// Position of the first ASCII case-insensitive occurrence of `needle` in `s`
// at or after `from`, or npos. Only letters are folded; every other byte of
// the needle must match exactly.
size_t findIgnoreCase(std::string_view s, std::string_view needle, size_t from = 0) noexcept;

}  // namespace tavix
