#include "engine/expr/dates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "common/error.h"
#include "support/failing_allocator.h"

namespace tavix {
namespace {

constexpr int64_t kJan15 = 1705276800;  // 2024-01-15 00:00:00

TEST(ParseDateTime, ReadsEveryForm) {
  static const struct {
    const char* text;
    int64_t seconds;
  } cases[] = {
      {"1970-01-01", 0},
      {"1969-12-31 23:59:59", -1},
      {"2024-01-15", kJan15},
      {"2024-01-15T10:30:45.123Z", 1705314645},
      {"2024-01-15 10:30:45", 1705314645},
      {"2024-01-15T10:30:45Z", 1705314645},
      {"2024-01-15 10:30:45.", 1705314645},
      {"2024-01-15 10:30:45.000001", 1705314645},
      {"2024-01-15 10:30:45.65535", 1705314645},
      {"20240115103045", 1705314645},
      {"20240115103045trailing", 1705314645},
      {"2024-01-15 10:30", 1705314600},
      {"2024-01-15 10:30:45:99", 1705314645},
      {"2024-01-15T", kJan15},
      {"2024-01-15 ", kJan15},
      {"2024-1-5", 1704412800},
      {"2024-01-15-99", kJan15},
      {"01/15/2024", kJan15},
      {"1/15/2024 10:30:45", 1705314645},
      {"15.01.2024", kJan15},
      {"15.01.2024 10:30", 1705314600},
      {"20240115", kJan15},
      {"2024011512", kJan15},
      {"2024011512345", kJan15},
      {"2024-02-29", 1709164800},
      {"2000-02-29", 951782400},
      {"0001-01-01", -62135596800},
      {"9999-12-31 23:59:59", 253402300799},
      {"2_024-01-15", kJan15},
  };
  for (const auto& c : cases) {
    int64_t seconds = 12345;
    EXPECT_EQ(parseDateTime(c.text, seconds), Error::ok) << c.text;
    EXPECT_EQ(seconds, c.seconds) << c.text;
  }
}

TEST(ParseDateTime, ReportsTheFirstFailingStep) {
  static const struct {
    const char* text;
    Error error;
  } cases[] = {
      {"", Error::InvalidDate},
      {"2024-01", Error::InvalidDate},
      {"01/15/-44", Error::InvalidDate},  // '-' selects the ISO form
      {"2024", Error::UnknownDateFormat},
      {"2024011", Error::UnknownDateFormat},
      {"soon", Error::UnknownDateFormat},
      {"2024 0115", Error::UnknownDateFormat},
      {"2023-02-29", Error::InvalidDay},
      {"1900-02-29", Error::InvalidDay},
      {"2024-04-31", Error::InvalidDay},
      {"2024-01-00", Error::InvalidDay},
      {"2024-00-10", Error::InvalidMonth},
      {"2024-13-01", Error::InvalidMonth},
      {"15/01/2024", Error::InvalidMonth},
      {"2024-300-01", Error::Overflow},
      {"99999999999-01-01", Error::Overflow},
      {" 2024-01-15", Error::InvalidDate},  // the date part ends at the leading space
      {"2024-01-15 T10:30", Error::InvalidCharacter},  // 'T' ends the date part: "15 "
      {"01/15/ 2024", Error::InvalidCharacter},
      {"2024-01-15t10:30", Error::InvalidCharacter},
      {"2024-01-15 10:30:00+02:00", Error::InvalidCharacter},
      {"2024--15", Error::InvalidCharacter},
      {"2024-01-15 10", Error::InvalidTime},
      {"2024-01-15 24:00", Error::InvalidHour},
      {"2024-01-15 23:60", Error::InvalidMinute},
      {"2024-01-15 23:59:60", Error::InvalidSecond},
      {"2024-01-15 10::00", Error::InvalidCharacter},
      {"2024-01-15 10:30:", Error::InvalidCharacter},
      {"2024-01-15 24:00:xx", Error::InvalidCharacter},  // pieces are read before the ranges
      {"2024-01-15 10:30:45.1234567", Error::Overflow},
      {"2024-01-15 10:30:45.123456", Error::Overflow},
      {"2024-01-15 300:00", Error::Overflow},
      {"15.01.2024 10:30:45.5", Error::InvalidCharacter},
      {"01/15/2024 10:30:45.5", Error::InvalidCharacter},
      {"01/15/2024T10:30", Error::InvalidCharacter},  // 'T' separates only in the ISO form
      {"20241315", Error::InvalidMonth},
      {"20240230", Error::InvalidDay},
      {"20240115x03045", Error::InvalidCharacter},
      {"20240115250000", Error::InvalidHour},
      {"20240115236000", Error::InvalidMinute},
      {"20240115235960", Error::InvalidSecond},
  };
  for (const auto& c : cases) {
    int64_t seconds = 12345;
    EXPECT_EQ(parseDateTime(c.text, seconds), c.error)
        << '"' << c.text << "\" gave " << errorName(parseDateTime(c.text, seconds));
    EXPECT_EQ(seconds, 12345) << c.text;
  }
}

// The year-by-year count from 1970: the plainest statement of the calendar,
// checked against the era arithmetic.
int64_t daysByYearWalk(int64_t year, unsigned month, unsigned day) {
  int64_t days = 0;
  for (int64_t y = 1970; y < year; ++y) days += isLeapYear(y) ? 366 : 365;
  for (int64_t y = year; y < 1970; ++y) days -= isLeapYear(y) ? 366 : 365;
  for (unsigned m = 1; m < month; ++m) days += daysInMonth(year, m);
  return days + day - 1;
}

TEST(CivilDays, AgreesWithTheYearWalkAndRoundTrips) {
  for (int64_t year = -1200; year <= 3000; year += 7) {
    for (unsigned month = 1; month <= 12; ++month) {
      for (unsigned day : {1u, 15u, static_cast<unsigned>(daysInMonth(year, month))}) {
        const int64_t days = daysFromCivil(year, month, day);
        ASSERT_EQ(days, daysByYearWalk(year, month, day)) << year << '-' << month << '-' << day;
        int64_t y = 0;
        unsigned m = 0;
        unsigned d = 0;
        civilFromDays(days, y, m, d);
        ASSERT_EQ(y, year) << days;
        ASSERT_EQ(m, month) << days;
        ASSERT_EQ(d, day) << days;
      }
    }
  }
}

TEST(CivilDays, ConsecutiveDaysStepThroughTheCalendar) {
  // Walks every day across several centuries (year 0, 1600, the epoch) and
  // checks that each is the day after the previous one.
  for (int64_t start : {daysFromCivil(-2, 1, 1), daysFromCivil(1599, 1, 1), int64_t{-800}}) {
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    civilFromDays(start, y, m, d);
    for (int64_t days = start + 1; days < start + 3 * 366; ++days) {
      if (d < daysInMonth(y, m)) {
        ++d;
      } else if (m < 12) {
        ++m;
        d = 1;
      } else {
        ++y;
        m = 1;
        d = 1;
      }
      int64_t y2 = 0;
      unsigned m2 = 0;
      unsigned d2 = 0;
      civilFromDays(days, y2, m2, d2);
      ASSERT_TRUE(y2 == y && m2 == m && d2 == d) << days << ": " << y2 << '-' << m2 << '-' << d2;
    }
  }
}

TEST(EpochSeconds, ConvertsToFieldsAndBack) {
  static const struct {
    int64_t seconds;
    int32_t year;
    unsigned month, day, hour, minute, second;
  } cases[] = {
      {0, 1970, 1, 1, 0, 0, 0},
      {-1, 1969, 12, 31, 23, 59, 59},
      {-86400, 1969, 12, 31, 0, 0, 0},
      {1705314645, 2024, 1, 15, 10, 30, 45},
      {951868799, 2000, 2, 29, 23, 59, 59},
      {-62135596800, 1, 1, 1, 0, 0, 0},
      {-62135596801, 0, 12, 31, 23, 59, 59},
      {-62198755200, -1, 1, 1, 0, 0, 0},
      {253402300800, 10000, 1, 1, 0, 0, 0},
  };
  for (const auto& c : cases) {
    const DateTime dt = epochSecondsToDateTime(c.seconds);
    EXPECT_EQ(dt.year, c.year) << c.seconds;
    EXPECT_EQ(dt.month, c.month) << c.seconds;
    EXPECT_EQ(dt.day, c.day) << c.seconds;
    EXPECT_EQ(dt.hour, c.hour) << c.seconds;
    EXPECT_EQ(dt.minute, c.minute) << c.seconds;
    EXPECT_EQ(dt.second, c.second) << c.seconds;
    EXPECT_EQ(dt.fraction, 0) << c.seconds;
    EXPECT_EQ(dateTimeToEpochSeconds(dt), c.seconds) << c.seconds;
  }
}

TEST(EpochSeconds, ExtremeCountsClampTheYearAndNeverOverflow) {
  for (int64_t s : {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()}) {
    const DateTime dt = epochSecondsToDateTime(s);
    EXPECT_EQ(dt.year, s < 0 ? std::numeric_limits<int32_t>::min()
                             : std::numeric_limits<int32_t>::max());
    EXPECT_GE(dt.month, 1);
    EXPECT_LE(dt.month, 12);
    EXPECT_LE(dt.hour, 23);
  }
  EXPECT_EQ(extractDatePart(std::numeric_limits<int64_t>::max(), DateUnit::year), 292277026596);
  EXPECT_EQ(extractDatePart(std::numeric_limits<int64_t>::min(), DateUnit::year), -292277022657);
}

TEST(FormatEpochSeconds, WritesYearPaddedAndUnsigned) {
  static const struct {
    int64_t seconds;
    const char* text;
  } cases[] = {
      {0, "1970-01-01 00:00:00"},
      {-1, "1969-12-31 23:59:59"},
      {1705314645, "2024-01-15 10:30:45"},
      {253402300800, "10000-01-01 00:00:00"},
      {-62135596800, "0001-01-01 00:00:00"},
      {-63524217600, "0044-12-31 00:00:00"},  // year -44 is written without its sign
      {std::numeric_limits<int64_t>::max(), "292277026596-12-04 15:30:07"},
      {std::numeric_limits<int64_t>::min(), "292277022657-01-27 08:29:52"},
  };
  ArenaAllocator arena;
  for (const auto& c : cases) {
    std::string_view text;
    ASSERT_EQ(formatEpochSeconds(arena.allocator(), c.seconds, text), Error::ok);
    EXPECT_EQ(text, c.text) << c.seconds;
    EXPECT_LE(text.size(), kMaxDateTimeTextLength);
  }
}

TEST(FormatEpochSeconds, ReportsOutOfMemory) {
  std::string_view text = "unchanged";
  EXPECT_EQ(formatEpochSeconds(test::failingAllocator(), 0, text), Error::OutOfMemory);
  EXPECT_EQ(text, "unchanged");
}

TEST(ParseDateTime, FormattedSecondsReadBack) {
  std::mt19937_64 rng(7);
  // Years 0..9999: the texts the ISO reader accepts.
  std::uniform_int_distribution<int64_t> dist(-62167219200, 253402300799);
  char buffer[kMaxDateTimeTextLength];
  for (int i = 0; i < 20000; ++i) {
    const int64_t s = dist(rng);
    const std::string_view text = writeEpochSeconds(s, buffer);
    int64_t back = 0;
    ASSERT_EQ(parseDateTime(text, back), Error::ok) << text;
    ASSERT_EQ(back, s) << text;
  }
}

TEST(DateUnits, DiffAddAndExtract) {
  EXPECT_EQ(dateUnitFromText("DAY"), DateUnit::day);
  EXPECT_EQ(dateUnitFromText("Second"), DateUnit::second);
  EXPECT_EQ(dateUnitFromText("fortnight"), DateUnit::unlisted);
  EXPECT_EQ(dateUnitFromText("days"), DateUnit::unlisted);

  int64_t a = 0;
  int64_t b = 0;
  ASSERT_EQ(parseDateTime("2024-01-01", a), Error::ok);
  ASSERT_EQ(parseDateTime("2024-01-02 12:00:00", b), Error::ok);
  static const struct {
    DateUnit unit;
    double diff;
  } diffs[] = {
      {DateUnit::second, 129600}, {DateUnit::minute, 2160}, {DateUnit::hour, 36},
      {DateUnit::day, 1.5},       {DateUnit::week, 129600.0 / 604800},
      {DateUnit::month, 0.05},    {DateUnit::year, 129600.0 / 31536000},
      {DateUnit::unlisted, 0},
  };
  for (const auto& d : diffs) {
    EXPECT_DOUBLE_EQ(dateDiffInUnits(a, b, d.unit), d.diff) << static_cast<int>(d.unit);
  }
  EXPECT_EQ(dateDiffInUnits(b, a, DateUnit::day), -1.5);

  static const struct {
    const char* date;
    int64_t amount;
    DateUnit unit;
    const char* result;
  } adds[] = {
      {"2024-02-28", 1, DateUnit::day, "2024-02-29 00:00:00"},
      {"2024-01-31", 1, DateUnit::month, "2024-03-01 00:00:00"},
      {"2024-01-01", 1, DateUnit::year, "2024-12-31 00:00:00"},
      {"2024-01-01", -1, DateUnit::week, "2023-12-25 00:00:00"},
      {"2024-01-01 10:00", 90, DateUnit::minute, "2024-01-01 11:30:00"},
      {"2024-01-01", 5, DateUnit::unlisted, "2024-01-01 00:00:00"},
  };
  char buffer[kMaxDateTimeTextLength];
  for (const auto& c : adds) {
    int64_t s = 0;
    ASSERT_EQ(parseDateTime(c.date, s), Error::ok) << c.date;
    EXPECT_EQ(writeEpochSeconds(addDateUnits(s, c.amount, c.unit), buffer), c.result)
        << c.date << " + " << c.amount;
  }
  // A product beyond 64 bits wraps instead of being undefined.
  EXPECT_EQ(addDateUnits(0, std::numeric_limits<int64_t>::max(), DateUnit::year),
            static_cast<int64_t>(static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) *
                                 31536000u));

  int64_t s = 0;
  ASSERT_EQ(parseDateTime("2024-03-15 07:08:09", s), Error::ok);
  static const struct {
    DateUnit unit;
    int64_t part;
  } parts[] = {
      {DateUnit::year, 2024}, {DateUnit::month, 3},  {DateUnit::day, 15},
      {DateUnit::hour, 7},    {DateUnit::minute, 8}, {DateUnit::second, 9},
      {DateUnit::week, 0},    {DateUnit::unlisted, 0},
  };
  for (const auto& p : parts) {
    EXPECT_EQ(extractDatePart(s, p.unit), p.part) << static_cast<int>(p.unit);
  }
  EXPECT_EQ(extractDatePart(-62198755200, DateUnit::year), -1);
}

}  // namespace
}  // namespace tavix
