#include "common/number_rule.h"

#include <charconv>
#include <cmath>

#include "common/text.h"

namespace tavix {

namespace {

constexpr bool isHexDigit(char c) noexcept {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Validates the digit part of the number rule (everything after the sign and
// the optional "0x"). Returns false when the text does not have the rule's
// shape; `has_underscore` tells whether a copy without "_" is needed.
//
// `magnitude_hint` receives a rough base-10 (or base-2 for hex)
// magnitude of the value, used only to decide between infinity and zero when
// from_chars reports an out-of-range value.
bool scanDigits(std::string_view s, bool hex, int64_t& magnitude_hint, bool& has_underscore) {
  auto is_digit = [hex](char c) { return hex ? isHexDigit(c) : isDigit(c); };
  const char exp_lower = hex ? 'p' : 'e';
  size_t i = 0;
  size_t digits = 0;
  int64_t int_digits_after_lead = 0;  // significant digits before the point
  int64_t leading_frac_zeros = 0;     // zeros after the point before the first significant digit
  bool seen_nonzero = false;
  bool in_fraction = false;
  bool seen_point = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (is_digit(c)) {
      ++digits;
      if (c != '0') seen_nonzero = true;
      if (!in_fraction) {
        if (seen_nonzero) ++int_digits_after_lead;
      } else if (!seen_nonzero) {
        ++leading_frac_zeros;
      }
    } else if (c == '_') {
      has_underscore = true;
      if (i == 0 || !is_digit(s[i - 1]) || i + 1 >= s.size() || !is_digit(s[i + 1])) return false;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
      in_fraction = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  int64_t exponent = 0;
  if (i < s.size()) {
    if (toLowerAscii(s[i]) != exp_lower) return false;
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      exp_negative = s[i] == '-';
      ++i;
    }
    size_t exp_digits = 0;
    for (; i < s.size(); ++i) {
      const char c = s[i];
      if (isDigit(c)) {
        ++exp_digits;
        if (exponent < 1'000'000'000) exponent = exponent * 10 + (c - '0');
      } else if (c == '_') {
        has_underscore = true;
        if (!isDigit(s[i - 1]) || i + 1 >= s.size() || !isDigit(s[i + 1])) return false;
      } else {
        return false;
      }
    }
    if (exp_digits == 0) return false;
    if (exp_negative) exponent = -exponent;
  }
  const int64_t per_digit = hex ? 4 : 1;
  magnitude_hint = seen_nonzero ? (int_digits_after_lead > 0 ? int_digits_after_lead * per_digit
                                                             : -leading_frac_zeros * per_digit) +
                                      exponent
                                : std::numeric_limits<int64_t>::min();
  return true;
}

// Powers of ten that a double holds exactly: 10^22 is the largest, since
// 5^22 < 2^53 <= 5^23.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactPowerOfTen = 22;
// The largest integer up to which every integer is a double.
constexpr uint64_t kMaxExactMantissa = uint64_t{1} << 53;

// Reads the common plain decimal texts (digits with an optional point and an
// optional short exponent, no sign, no "_") without the general parser. When
// the digits form an integer m <= 2^53 and the value is m * 10^e with
// |e| <= 22, both m and 10^|e| are exact doubles, so one IEEE multiplication
// or division rounds the exact value correctly: the result is the one the
// general parser gives. Returns false, with `out` untouched, for every other
// text (longer digit strings, large exponents, other forms, and texts that
// are no numbers at all), which then go through the general parser.
bool parsePlainDecimal(std::string_view s, double& out) noexcept {
  const char* p = s.data();
  const char* const end = p + s.size();
  uint64_t mantissa = 0;
  int digits = 0;           // digits taken into the mantissa, leading zeros excluded
  int fraction_digits = 0;  // digits after the point
  bool any_digit = false;
  bool seen_point = false;
  for (; p < end; ++p) {
    const char c = *p;
    if (isDigit(c)) {
      any_digit = true;
      if (seen_point) ++fraction_digits;
      if (mantissa == 0 && c == '0') continue;
      // 19 digits always fit in 64 bits; longer mantissas are not exact anyway.
      if (++digits > 19) return false;
      mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
  }
  if (!any_digit || mantissa > kMaxExactMantissa) return false;
  int exponent = 0;
  if (p < end) {
    if (*p != 'e' && *p != 'E') return false;
    ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end) return false;
    // Three digits bound the exponent well above any power handled here.
    for (int n = 0; p < end; ++p, ++n) {
      if (!isDigit(*p) || n == 3) return false;
      exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  const int power = exponent - fraction_digits;
  if (power < -kMaxExactPowerOfTen || power > kMaxExactPowerOfTen) return false;
  const double m = static_cast<double>(mantissa);
  out = power < 0 ? m / kExactPowersOfTen[-power] : m * kExactPowersOfTen[power];
  return true;
}

}  // namespace

Error parseNumber(std::string_view text, double& out) noexcept {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return Error::InvalidCharacter;
  {
    double plain = 0;
    if (parsePlainDecimal(s, plain)) {
      out = negative ? -plain : plain;
      return Error::ok;
    }
  }
  if (equalsIgnoreCase(s, "nan")) {
    out = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
    return Error::ok;
  }
  if (equalsIgnoreCase(s, "inf") || equalsIgnoreCase(s, "infinity")) {
    out = negative ? -std::numeric_limits<double>::infinity()
                   : std::numeric_limits<double>::infinity();
    return Error::ok;
  }
  bool hex = false;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    hex = true;
    s.remove_prefix(2);
  }
  int64_t magnitude_hint = 0;
  bool has_underscore = false;
  if (!scanDigits(s, hex, magnitude_hint, has_underscore)) return Error::InvalidCharacter;
  // Underscores are rare: only then is a copy without them made.
  std::string clean;
  if (has_underscore) {
    try {
      clean.reserve(s.size());
    } catch (...) {
      return Error::OutOfMemory;
    }
    for (char c : s)
      if (c != '_') clean.push_back(c);
    s = clean;
  }
  double value = 0;
  const char* last = s.data() + s.size();
  auto [ptr, ec] = std::from_chars(s.data(), last, value,
                                   hex ? std::chars_format::hex : std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    value = magnitude_hint > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || ptr != last) {
    return Error::InvalidCharacter;
  }
  out = negative ? -value : value;
  return Error::ok;
}

namespace detail {

Error parseIntegerMagnitude(std::string_view text, bool& negative, uint64_t& magnitude,
                            bool& saturated) noexcept {
  std::string_view s = text;
  negative = false;
  saturated = false;
  magnitude = 0;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !isDigit(s.front()) || !isDigit(s.back())) return Error::InvalidCharacter;
  for (char c : s) {
    if (c == '_') continue;
    if (!isDigit(c)) return Error::InvalidCharacter;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (!saturated) {
      if (magnitude > (UINT64_MAX - d) / 10) {
        saturated = true;
      } else {
        magnitude = magnitude * 10 + d;
      }
    }
  }
  return Error::ok;
}

}  // namespace detail

}  // namespace tavix
