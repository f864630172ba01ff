// Number and value texts: the decimal printer and the routines built on it.
//
// Every number tavix writes into a result is made here. The printer has two
// modes, both positional (never an exponent):
//   - shortest: the fewest significant digits that read back to the same
//     double (the digits of std::to_chars), laid out with the decimal point
//     in place: 0.1 -> "0.1", 1e21 -> "1" and 21 zeros, 1e-7 -> "0.0000001";
//   - fixed N: those shortest digits rounded half-up (on the decimal digits,
//     not on the binary value) to N decimals and padded with zeros to exactly
//     N decimals; N = 0 writes no point. 2.675 -> "2.68", 1.5 (3) -> "1.500".
// Both write '-' whenever the sign bit is set, also for all-zero digits
// ("-0", "-0.00"); a NaN is "nan" or "-nan", the infinities "inf" and "-inf".
//
// Buffers: the buffer routines write into memory the caller passes (pointer
// and capacity) and allocate nothing. A buffer of kMaxNumberTextLength bytes
// holds every text any of them can produce (any double in shortest mode, any
// integer, fixed mode with up to kMaxFixedDecimals decimals), so callers that
// pass such a buffer never lose a number. The owned-text routines take an
// `Allocator` and return a block of exactly the text's length, which the
// caller releases with that allocator.
//
// Everything here is pure: no state, callable from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"

namespace tavix {

// Decimal digits of the largest finite double, 1.7976931348623157e308, whose
// integer part has 309 digits.
inline constexpr size_t kMaxIntegerPartDigits = 309;
// Decimals of the shortest text of the smallest subnormal, 5e-324. No
// shortest text has more: the spacing of subnormals (about 4.94e-324) is wider
// than 1e-324, so digits below that position are never needed to round-trip.
inline constexpr size_t kMaxShortestDecimals = 324;
// Largest number of decimals the fixed mode is asked for anywhere in tavix
// (ROUND in a select expression caps at 9; aggregates and ROUND keys at 6).
inline constexpr size_t kMaxFixedDecimals = 9;
// "-9223372036854775808".
inline constexpr size_t kMaxIntegerTextLength = 20;

// Length bound of a fixed-mode text with `decimals` decimals: sign, integer
// part, point, decimals. Rounding can only carry into a new leading digit when
// the value has decimals, so the integer part never exceeds 309 digits.
constexpr size_t fixedTextCapacity(size_t decimals) noexcept {
  return 1 + kMaxIntegerPartDigits + 1 + decimals;
}

// Length bound of every text the buffer routines write: the longest shortest
// text is "-0." followed by 324 decimals (the negative smallest subnormal).
inline constexpr size_t kMaxNumberTextLength = 3 + kMaxShortestDecimals;
static_assert(kMaxNumberTextLength == 327);
static_assert(kMaxNumberTextLength >= 1 + kMaxIntegerPartDigits, "largest double");
static_assert(kMaxNumberTextLength >= fixedTextCapacity(kMaxFixedDecimals) + 2,
              "fixed mode with a \".0\" suffix or up to 9 decimals");
static_assert(kMaxNumberTextLength >= kMaxIntegerTextLength + 2);

// The number of decimals a ROUND(<aggregate>, n) wrapper asks for.
struct OutputPrecision {
  uint8_t digits = 0;
  // True when `digits` is set; false for an aggregate without ROUND.
  bool has_digits = false;
};

// Converts a double to a signed 64-bit integer only when that is exact and
// defined: returns true and sets `out` when x is integral and within
// [-2^63, 2^63); returns false (leaving `out` unchanged) for NaN, infinities,
// fractions and values beyond that range. -0.0 gives 0.
bool doubleToInt64Exact(double x, int64_t& out) noexcept;

// Truncates x toward zero and converts it: returns true and sets `out` when
// the truncation lies within [-2^63, 2^63); false (`out` unchanged) for NaN,
// infinities and values beyond that range. Never undefined behaviour.
bool truncateToInt64(double x, int64_t& out) noexcept;

// The largest double below one half. Rounding adds it (with the value's sign)
// before truncating, rather than 0.5, so that 0.49999999999999994 itself
// rounds to 0 instead of 1.
inline constexpr double kLargestBelowHalf = 0.49999999999999994;

// Rounds half away from zero the way ROUND(x) with no digits does: the
// truncation of x + kLargestBelowHalf carrying the sign of x.
// Returns false for NaN, infinities and results beyond the int64 range.
bool roundHalfAwayToInt64(double x, int64_t& out) noexcept;

// Writes the decimal text of v ('-' before negatives) into `buffer` and
// returns it; `capacity` must be at least kMaxIntegerTextLength. Uses a table
// of two-digit pairs.
std::string_view formatIntegerText(char* buffer, size_t capacity, int64_t v) noexcept;

// Writes x in shortest mode. Returns the text inside `buffer`, or the empty
// text when it does not fit `capacity` (never with kMaxNumberTextLength).
std::string_view formatShortestText(char* buffer, size_t capacity, double x) noexcept;

// Writes x in fixed mode with exactly `decimals` decimals (rounded half-up on
// the shortest digits). Returns the text inside `buffer`, or the empty text
// when it does not fit; fixedTextCapacity(decimals) bytes always suffice.
std::string_view formatFixedText(char* buffer, size_t capacity, double x,
                                 uint8_t decimals) noexcept;

// The number text of a select expression: when x is integral and |x| <= 1e15,
// its integer text (-0.0 gives "0"); otherwise the shortest mode. Returns the
// text inside `buffer`, or the empty text when it does not fit; callers pass
// kMaxNumberTextLength bytes so that no number is ever lost (1e40, 1e-31).
std::string_view formatNumberText(char* buffer, size_t capacity, double x) noexcept;

// As formatNumberText, but the integral case (|x| <= 1e15) gets ".0": 3 ->
// "3.0", -0.0 -> "0.0"; larger integral values take the shortest mode without
// ".0". Used for CEIL and FLOOR. Empty text when it does not fit.
std::string_view formatNumberTextPointZero(char* buffer, size_t capacity, double x) noexcept;

// Owned decimal text of v. Returns OutOfMemory when the block cannot be had
// (then `out` is unchanged and nothing stays allocated).
[[nodiscard]] Error formatInteger(const Allocator& allocator, int64_t v, std::string_view& out);

// Owned fixed-mode text of x with exactly 6 decimals; OutOfMemory as above.
[[nodiscard]] Error formatFloatFixed6(const Allocator& allocator, double x, std::string_view& out);

// Owned text of an aggregate result. With `precision.has_digits`: fixed mode
// with min(digits, 6) decimals. Without: when x is integral and within the
// int64 range, its integer text (-0.0 gives "0"); otherwise the shortest mode
// (1e20 -> "100000000000000000000", NaN -> "nan"/"-nan"). OutOfMemory as
// above.
[[nodiscard]] Error formatNumber(const Allocator& allocator, double x,
                                 const OutputPrecision& precision, std::string_view& out);

// Upper bound of the length of formatStrftime's text for `format`: each byte
// writes at most one byte, and each two-byte directive at most 10 (a year of
// up to 10 digits), so 5 bytes per format byte suffice.
constexpr size_t strftimeCapacity(std::string_view format) noexcept {
  return format.size() * 5;
}

// The value of STRFTIME(format, value). When `value` reads as a date
// (parseDateTime), "%Y" writes the absolute year padded with '0' to at least
// 4 digits and "%m", "%d", "%H", "%M", "%S" the month, day, hour, minute and
// second as 2 digits. When it does not, the value is taken to be laid out as
// "YYYY-MM-DD HH:MM:SS" and those directives copy the bytes 0-3, 5-6, 8-9,
// 11-12, 14-15 and 17-18 when the value is long enough (4, 7, 10, 13, 16, 19
// bytes) and nothing otherwise. Any other directive ("%y", "%%") is copied as
// its two bytes; a final lone '%' and every other byte are copied as they are.
//
// The whole text is written: with `capacity` >= strftimeCapacity(format) it
// always fits. A smaller buffer is never overrun: writing stops before the
// first byte or directive that does not fit. Returns the text inside
// `buffer`. Allocates nothing.
std::string_view formatStrftime(std::string_view format, std::string_view value, char* buffer,
                                size_t capacity) noexcept;

// The same, replacing the contents of `out` with the whole text (its capacity
// is kept, so a string reused per row allocates only while it grows).
void formatStrftime(std::string_view format, std::string_view value, std::string& out);

// The text of a ROUND(column, n) GROUP BY key. The value is trimmed (bytes 9
// to 13 and space) and read by the number rule; a value that is not a number
// is returned unchanged (untrimmed). n = digits when has_digits, else 0.
// n = 0: the integer text of x rounded half away from zero
// (roundHalfAwayToInt64); a NaN, an infinity or a result beyond the int64
// range returns the value unchanged. n of 1 to 5: fixed mode with n decimals;
// 6 or more: fixed mode with 6 decimals. Returns the text inside `buffer`, or
// the value itself when it does not fit `capacity` (kMaxNumberTextLength
// always suffices).
std::string_view formatRounded(uint8_t digits, bool has_digits, std::string_view value,
                               char* buffer, size_t capacity) noexcept;

}  // namespace tavix
