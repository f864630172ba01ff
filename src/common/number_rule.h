// The two rules by which every part of tavix reads numbers from text.
//
// Number rule (`parseNumber`): the whole text is an optional sign, then either
// decimal digits with an optional fraction (at least one digit in all: "5."
// and ".5" are numbers, "." is not) and an optional exponent ("e"/"E", an
// optional sign, at least one digit); or "0x"/"0X", hexadecimal digits with an
// optional fraction and an optional "p"/"P" exponent; or "nan", "inf" or
// "infinity" in any case. "_" may stand only between two digits. No
// whitespace anywhere. The value is correctly rounded; a value out of range
// becomes an infinity or zero without error. Anything else is
// InvalidCharacter.
//
// Integer rule (`parseInteger`): an optional sign, then decimal digits; "_"
// may stand anywhere between the first and the last digit (several in a row
// too), never first, last or right after the sign. Empty text, a lone sign or
// any other byte is InvalidCharacter; a value outside the target type is
// Overflow; for unsigned targets "-0" is 0 and any other negative value is
// Overflow.
//
// Both are pure and thread-safe.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

#include "common/error.h"

namespace tavix {

[[nodiscard]] Error parseNumber(std::string_view text, double& out) noexcept;

inline bool isNumber(std::string_view text) noexcept {
  double ignored;
  return parseNumber(text, ignored) == Error::ok;
}

namespace detail {
// Reads the integer rule's shape. On success `negative` is the sign and
// `magnitude` the absolute value, saturated at 2^64 (`saturated` set) so that
// any range check of a 64-bit target is exact.
[[nodiscard]] Error parseIntegerMagnitude(std::string_view text, bool& negative,
                                          uint64_t& magnitude, bool& saturated) noexcept;
}  // namespace detail

template <typename Int>
[[nodiscard]] Error parseInteger(std::string_view text, Int& out) noexcept {
  static_assert(std::is_integral_v<Int>);
  bool negative = false;
  bool saturated = false;
  uint64_t magnitude = 0;
  TAVIX_TRY(detail::parseIntegerMagnitude(text, negative, magnitude, saturated));
  if (saturated) return Error::Overflow;
  if constexpr (std::is_unsigned_v<Int>) {
    if (negative && magnitude != 0) return Error::Overflow;
    if (magnitude > std::numeric_limits<Int>::max()) return Error::Overflow;
    out = static_cast<Int>(magnitude);
  } else {
    using U = std::make_unsigned_t<Int>;
    const uint64_t max_pos = static_cast<U>(std::numeric_limits<Int>::max());
    if (negative) {
      if (magnitude > max_pos + 1) return Error::Overflow;
      out = magnitude == max_pos + 1 ? std::numeric_limits<Int>::min()
                                     : static_cast<Int>(-static_cast<int64_t>(magnitude));
    } else {
      if (magnitude > max_pos) return Error::Overflow;
      out = static_cast<Int>(magnitude);
    }
  }
  return Error::ok;
}

}  // namespace tavix
