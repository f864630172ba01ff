// Text routines on one select item: the alias split and the ROUND wrapper.
//
// Both are pure byte-level routines over views into the caller's text; they
// allocate nothing and never fail. The driver, the select-list
// classification, the expression compiler and every executor use them, so a
// select item is read the same way everywhere. Any thread may call them.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavix {

// A select item split into its expression and its alias. Both are views into
// the item; `has_alias` is false (and `alias` empty) when there is none, and
// then `expression` is the whole item, untrimmed.
struct SelectAlias {
  std::string_view expression;
  std::string_view alias;
  bool has_alias = false;
};

// Splits `item` at its last top-level " AS " (any case, any whitespace
// around AS) when the text after it is one word without "(" (taken as
// written, reserved words allowed); otherwise at its last top-level
// whitespace byte when the text after it is an identifier that is not a
// reserved word ("price total"). Parenthesised text and single-quoted
// strings are not looked into.
SelectAlias splitSelectAlias(std::string_view item) noexcept;

// A recognised `round(<inner>, <digits>)` wrapper.
struct RoundCall {
  std::string_view inner;  // trimmed view into the text; may be empty
  uint8_t digits = 0;
  bool present = false;
};

// Recognises a text that is exactly `round(<inner>, <digits>)` (name in any
// case, split at the last comma, digits an unsigned 8-bit integer). Any other
// text gives present false, an empty inner text and digits 0.
RoundCall unwrapRoundCall(std::string_view text) noexcept;

}  // namespace tavix
