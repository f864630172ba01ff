#include "engine/expr/dates.h"

#include <limits>

#include "common/number_rule.h"
#include "common/text.h"

namespace tavix {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Floor division for a positive divisor.
constexpr int64_t floorDiv(int64_t a, int64_t b) noexcept {
  const int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The first `count` pieces of `text` cut at `sep` (empty pieces included).
// Returns how many pieces there are, at most `count`.
size_t splitPieces(std::string_view text, char sep, std::string_view* pieces, size_t count) {
  size_t n = 0;
  size_t start = 0;
  while (n < count) {
    const size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      pieces[n++] = text.substr(start);
      break;
    }
    pieces[n++] = text.substr(start, at - start);
    start = at + 1;
  }
  return n;
}

Error checkDate(const DateTime& dt) noexcept {
  if (dt.month < 1 || dt.month > 12) return Error::InvalidMonth;
  if (dt.day == 0 || dt.day > daysInMonth(dt.year, dt.month)) return Error::InvalidDay;
  return Error::ok;
}

Error checkTime(const DateTime& dt) noexcept {
  if (dt.hour >= 24) return Error::InvalidHour;
  if (dt.minute >= 60) return Error::InvalidMinute;
  if (dt.second >= 60) return Error::InvalidSecond;
  return Error::ok;
}

enum class DateForm : uint8_t { iso, us, european };

// Reads "H:M[:S]" (and, in the ISO form, a fraction after the seconds' '.')
// into `dt`, then checks the ranges.
Error parseTimePart(std::string_view time, DateForm form, DateTime& dt) noexcept {
  if (form == DateForm::iso) {
    const size_t z = time.find('Z');
    if (z != std::string_view::npos) time = time.substr(0, z);
  }
  std::string_view pieces[3];
  const size_t n = splitPieces(time, ':', pieces, 3);
  if (n < 2) return Error::InvalidTime;
  TAVIX_TRY(parseInteger(pieces[0], dt.hour));
  TAVIX_TRY(parseInteger(pieces[1], dt.minute));
  if (n == 3) {
    std::string_view second = pieces[2];
    std::string_view fraction;
    if (form == DateForm::iso) {
      const size_t dot = second.find('.');
      if (dot != std::string_view::npos) {
        fraction = second.substr(dot + 1);
        second = second.substr(0, dot);
      }
    }
    TAVIX_TRY(parseInteger(second, dt.second));
    if (!fraction.empty()) TAVIX_TRY(parseInteger(fraction, dt.fraction));
  }
  return checkTime(dt);
}

// Writes v as exactly `width` digits (v < 10^width).
char* writePadded(char* p, uint64_t v, int width) noexcept {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + width;
}

}  // namespace

int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) noexcept {
  // Counts in 400-year eras starting on March 1 (so the leap day is the last
  // day of an era-year); 719468 is the day number of 1970-01-01 in that count.
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = floorDiv(y, 400);
  const int64_t yoe = y - era * 400;                                  // 0..399
  const int64_t mp = month > 2 ? month - 3 : month + 9;               // March = 0
  const int64_t doy = (153 * mp + 2) / 5 + static_cast<int64_t>(day) - 1;  // 0..365
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;          // 0..146096
  return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) noexcept {
  // The inverse of daysFromCivil: 146097 days per 400-year era.
  const int64_t z = days + 719468;
  const int64_t era = floorDiv(z, 146097);
  const int64_t doe = z - era * 146097;                                   // 0..146096
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);            // 0..365
  const int64_t mp = (5 * doy + 2) / 153;                                 // March = 0
  day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  year = yoe + era * 400 + (month <= 2 ? 1 : 0);
}

Error parseCompactDateTime(std::string_view text, int64_t& seconds) noexcept {
  DateTime dt;
  TAVIX_TRY(parseInteger(text.substr(0, 4), dt.year));
  TAVIX_TRY(parseInteger(text.substr(4, 2), dt.month));
  TAVIX_TRY(parseInteger(text.substr(6, 2), dt.day));
  TAVIX_TRY(checkDate(dt));
  if (text.size() >= 14) {
    TAVIX_TRY(parseInteger(text.substr(8, 2), dt.hour));
    TAVIX_TRY(parseInteger(text.substr(10, 2), dt.minute));
    TAVIX_TRY(parseInteger(text.substr(12, 2), dt.second));
    TAVIX_TRY(checkTime(dt));
  }
  seconds = dateTimeToEpochSeconds(dt);
  return Error::ok;
}

Error parseDateTime(std::string_view text, int64_t& seconds) noexcept {
  if (text.empty()) return Error::InvalidDate;
  DateForm form;
  char sep;
  if (text.find('-') != std::string_view::npos) {
    form = DateForm::iso;
    sep = '-';
  } else if (text.find('/') != std::string_view::npos) {
    form = DateForm::us;
    sep = '/';
  } else if (text.find('.') != std::string_view::npos) {
    form = DateForm::european;
    sep = '.';
  } else {
    if (text.size() >= 8) {
      bool digits = true;
      for (size_t i = 0; i < 8; ++i) digits = digits && isDigit(text[i]);
      if (digits) return parseCompactDateTime(text, seconds);
    }
    return Error::UnknownDateFormat;
  }

  size_t date_end = std::string_view::npos;
  if (form == DateForm::iso) date_end = text.find('T');
  if (date_end == std::string_view::npos) date_end = text.find(' ');
  const std::string_view date_part = text.substr(0, date_end);
  const std::string_view time_part =
      date_end == std::string_view::npos ? std::string_view{} : text.substr(date_end + 1);

  std::string_view pieces[3];
  if (splitPieces(date_part, sep, pieces, 3) < 3) return Error::InvalidDate;
  DateTime dt;
  switch (form) {
    case DateForm::iso:
      TAVIX_TRY(parseInteger(pieces[0], dt.year));
      TAVIX_TRY(parseInteger(pieces[1], dt.month));
      TAVIX_TRY(parseInteger(pieces[2], dt.day));
      break;
    case DateForm::us:
      TAVIX_TRY(parseInteger(pieces[0], dt.month));
      TAVIX_TRY(parseInteger(pieces[1], dt.day));
      TAVIX_TRY(parseInteger(pieces[2], dt.year));
      break;
    case DateForm::european:
      TAVIX_TRY(parseInteger(pieces[0], dt.day));
      TAVIX_TRY(parseInteger(pieces[1], dt.month));
      TAVIX_TRY(parseInteger(pieces[2], dt.year));
      break;
  }
  TAVIX_TRY(checkDate(dt));
  if (!time_part.empty()) TAVIX_TRY(parseTimePart(time_part, form, dt));
  seconds = dateTimeToEpochSeconds(dt);
  return Error::ok;
}

int64_t dateTimeToEpochSeconds(const DateTime& dt) noexcept {
  return daysFromCivil(dt.year, dt.month, dt.day) * kSecondsPerDay + dt.hour * 3600 +
         dt.minute * 60 + dt.second;
}

namespace {

// The civil fields of `seconds` with the full 64-bit year.
void splitEpochSeconds(int64_t seconds, int64_t& year, DateTime& dt) noexcept {
  const int64_t days = floorDiv(seconds, kSecondsPerDay);
  // Computed as the remainder of the floor division so that it cannot
  // overflow for the most negative counts.
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) rest += kSecondsPerDay;
  unsigned month = 1;
  unsigned day = 1;
  civilFromDays(days, year, month, day);
  dt.fraction = 0;
  dt.month = static_cast<uint8_t>(month);
  dt.day = static_cast<uint8_t>(day);
  dt.hour = static_cast<uint8_t>(rest / 3600);
  dt.minute = static_cast<uint8_t>(rest % 3600 / 60);
  dt.second = static_cast<uint8_t>(rest % 60);
}

}  // namespace

DateTime epochSecondsToDateTime(int64_t seconds) noexcept {
  DateTime dt;
  int64_t year = 0;
  splitEpochSeconds(seconds, year, dt);
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  dt.year = static_cast<int32_t>(year < kMin ? kMin : (year > kMax ? kMax : year));
  return dt;
}

std::string_view writeEpochSeconds(int64_t seconds, char* buffer) noexcept {
  DateTime dt;
  int64_t year = 0;
  splitEpochSeconds(seconds, year, dt);
  // |year| is below 3e11 for any int64 of seconds, so the negation is safe.
  const uint64_t abs_year = static_cast<uint64_t>(year < 0 ? -year : year);
  int width = 4;
  for (uint64_t limit = 10000; abs_year >= limit; limit *= 10) ++width;
  char* p = writePadded(buffer, abs_year, width);
  *p++ = '-';
  p = writePadded(p, dt.month, 2);
  *p++ = '-';
  p = writePadded(p, dt.day, 2);
  *p++ = ' ';
  p = writePadded(p, dt.hour, 2);
  *p++ = ':';
  p = writePadded(p, dt.minute, 2);
  *p++ = ':';
  p = writePadded(p, dt.second, 2);
  return {buffer, static_cast<size_t>(p - buffer)};
}

Error formatEpochSeconds(const Allocator& allocator, int64_t seconds, std::string_view& out) {
  char buffer[kMaxDateTimeTextLength];
  if (!allocator.copyText(writeEpochSeconds(seconds, buffer), out)) return Error::OutOfMemory;
  return Error::ok;
}

DateUnit dateUnitFromText(std::string_view text) noexcept {
  static constexpr struct {
    std::string_view name;
    DateUnit unit;
  } kUnits[] = {
      {"second", DateUnit::second}, {"minute", DateUnit::minute}, {"hour", DateUnit::hour},
      {"day", DateUnit::day},       {"week", DateUnit::week},     {"month", DateUnit::month},
      {"year", DateUnit::year},
  };
  for (const auto& u : kUnits) {
    if (equalsIgnoreCase(text, u.name)) return u.unit;
  }
  return DateUnit::unlisted;
}

int64_t secondsPerDateUnit(DateUnit unit) noexcept {
  switch (unit) {
    case DateUnit::second: return 1;
    case DateUnit::minute: return 60;
    case DateUnit::hour: return 3600;
    case DateUnit::day: return kSecondsPerDay;
    case DateUnit::week: return 7 * kSecondsPerDay;
    case DateUnit::month: return 30 * kSecondsPerDay;
    case DateUnit::year: return 365 * kSecondsPerDay;
    case DateUnit::unlisted: break;
  }
  return 0;
}

double dateDiffInUnits(int64_t seconds_a, int64_t seconds_b, DateUnit unit) noexcept {
  const int64_t divisor = secondsPerDateUnit(unit);
  if (divisor == 0) return 0.0;
  const int64_t d =
      static_cast<int64_t>(static_cast<uint64_t>(seconds_b) - static_cast<uint64_t>(seconds_a));
  return static_cast<double>(d) / static_cast<double>(divisor);
}

int64_t addDateUnits(int64_t seconds, int64_t amount, DateUnit unit) noexcept {
  const uint64_t product =
      static_cast<uint64_t>(amount) * static_cast<uint64_t>(secondsPerDateUnit(unit));
  return static_cast<int64_t>(static_cast<uint64_t>(seconds) + product);
}

int64_t extractDatePart(int64_t seconds, DateUnit unit) noexcept {
  DateTime dt;
  int64_t year = 0;
  splitEpochSeconds(seconds, year, dt);
  switch (unit) {
    case DateUnit::second: return dt.second;
    case DateUnit::minute: return dt.minute;
    case DateUnit::hour: return dt.hour;
    case DateUnit::day: return dt.day;
    case DateUnit::month: return dt.month;
    case DateUnit::year: return year;
    case DateUnit::week:
    case DateUnit::unlisted: break;
  }
  return 0;
}

}  // namespace tavix
