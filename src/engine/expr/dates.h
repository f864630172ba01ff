// Dates: reading date texts into epoch seconds, civil-date conversion and
// writing epoch seconds back as text.
//
// Time is naive: no time zones, no leap seconds, every day has 86400 seconds.
// The calendar is the proleptic Gregorian one for every year (before 1582 and
// before year 1 too). Epoch seconds are a signed 64-bit count of seconds since
// 1970-01-01 00:00:00, negative before it.
//
// Accepted date texts (never trimmed: a space at either end breaks a piece):
//   - ISO, chosen when the text holds '-': "Y-M-D", then optionally 'T' or ' '
//     and a time "H:M[:S[.F]]" that may end at a 'Z';
//   - US, when it holds '/': "M/D/Y", optionally ' ' and "H:M[:S]";
//   - European, when it holds '.': "D.M.Y", optionally ' ' and "H:M[:S]";
//   - compact, when its first 8 bytes are digits: "YYYYMMDD", with "HHMMSS"
//     in bytes 8 to 13 when the text has at least 14 bytes.
// Pieces are read by the integer rule (common/number_rule.h); further date or
// time pieces are ignored.
//
// The date-unit helpers serve datediff, dateadd and extract of the select
// expressions. Everything here is pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/allocator.h"
#include "common/error.h"

namespace tavix {

// A civil date and time.
struct DateTime {
  int32_t year = 1970;  // may be 0 or negative
  // The digits after the seconds' '.' read as one integer ("45.5" gives 5,
  // "45.123" gives 123); kept but never used in any computation.
  uint16_t fraction = 0;
  uint8_t month = 1;   // 1..12
  uint8_t day = 1;     // 1..length of the month
  uint8_t hour = 0;    // 0..23
  uint8_t minute = 0;  // 0..59
  uint8_t second = 0;  // 0..59
};

// True for years divisible by 400, or by 4 and not by 100.
constexpr bool isLeapYear(int64_t year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days of `month` (1..12) in `year`; 0 for a month outside 1..12.
constexpr uint8_t daysInMonth(int64_t year, unsigned month) noexcept {
  constexpr uint8_t kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && isLeapYear(year) ? 29 : kLengths[month - 1];
}

// Days from 1970-01-01 to the given civil date (negative before it). Exact
// for every year whose day count fits in 64 bits (|year| up to about 2.5e16);
// month 1..12, day 1..31.
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) noexcept;

// The civil date `days` after 1970-01-01 (before it when negative). Exact for
// |days| below 2^62, which covers the day count of every int64 of seconds.
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) noexcept;

// Reads a date text in one of the forms above. Returns ok and sets `seconds`;
// on failure returns, for the first failing step: InvalidDate (empty text,
// fewer than three date pieces), UnknownDateFormat (no '-', '/' or '.' and no
// 8 leading digits), InvalidCharacter or Overflow (a piece breaking the
// integer rule or too large for its field), InvalidMonth, InvalidDay,
// InvalidTime (a time part without ':'), InvalidHour, InvalidMinute,
// InvalidSecond. `seconds` is unchanged on failure.
[[nodiscard]] Error parseDateTime(std::string_view text, int64_t& seconds) noexcept;

// Reads the compact form; `text` has at least 8 bytes. Same errors as
// parseDateTime. Called by parseDateTime only; public for tests.
[[nodiscard]] Error parseCompactDateTime(std::string_view text, int64_t& seconds) noexcept;

// Epoch seconds of valid fields; the fraction is ignored.
int64_t dateTimeToEpochSeconds(const DateTime& dt) noexcept;

// The civil fields of epoch seconds (`fraction` 0). A year outside the int32
// range (only reachable by adding huge amounts) is clamped to that range; the
// other fields stay exact.
DateTime epochSecondsToDateTime(int64_t seconds) noexcept;

// "YYYY-MM-DD HH:MM:SS" is 19 bytes; the year of an int64 count of seconds has
// at most 12 digits (|year| below 3e11), so 27 bytes hold any such text.
inline constexpr size_t kMaxDateTimeTextLength = 27;

// Writes "YYYY-MM-DD HH:MM:SS" for `seconds` into `buffer` (at least
// kMaxDateTimeTextLength bytes) and returns it: the absolute value of the
// full 64-bit year padded with '0' to at least 4 digits, without a sign (year
// -44 is "0044"), the other fields as 2 digits.
std::string_view writeEpochSeconds(int64_t seconds, char* buffer) noexcept;

// The same text as an owned block of exactly its length; OutOfMemory when the
// block cannot be had (`out` unchanged).
[[nodiscard]] Error formatEpochSeconds(const Allocator& allocator, int64_t seconds,
                                       std::string_view& out);

// The units of datediff, dateadd and extract.
enum class DateUnit : uint8_t { second, minute, hour, day, week, month, year, unlisted };

// The unit named by `text` ("second" ... "year", ASCII case ignored); any
// other text is DateUnit::unlisted.
DateUnit dateUnitFromText(std::string_view text) noexcept;

// Seconds per unit: 1, 60, 3600, 86400, 604800, 2592000 (30 days), 31536000
// (365 days); 0 for unlisted.
int64_t secondsPerDateUnit(DateUnit unit) noexcept;

// datediff: (b - a) in seconds, as a double divided by the unit's seconds, so
// a partial unit gives a fraction (1.5 days). 0 for an unlisted unit. The
// subtraction wraps in two's complement instead of overflowing.
double dateDiffInUnits(int64_t seconds_a, int64_t seconds_b, DateUnit unit) noexcept;

// dateadd: seconds + amount * secondsPerDateUnit(unit), a 64-bit product and
// sum that wrap in two's complement instead of overflowing. An unlisted unit
// adds nothing.
int64_t addDateUnits(int64_t seconds, int64_t amount, DateUnit unit) noexcept;

// extract: the part of the civil fields of `seconds`: second, minute, hour,
// day of the month, month (1..12), year (signed); 0 for week and unlisted.
int64_t extractDatePart(int64_t seconds, DateUnit unit) noexcept;

}  // namespace tavix
