// Calendar helpers: the ISO 8601 parser's table, formatting and record comparison.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KTime.h"

namespace {

using dodudo::time::FromIso8601;
using dodudo::time::KSystemTime;
using ParseError = KTemplateException<dodudo::time::__ERROR__KSystemTimeException>;

// Runs the test in UTC so that expected Unix times are plain numbers.
class KTimeUtc : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

std::string ParseMessage(const char* text) {
  try {
    FromIso8601(text);
  } catch (const ParseError& e) {
    return e.what();
  }
  return "no exception";
}

TEST_F(KTimeUtc, ParsesBothSeparatorStyles) {
  EXPECT_EQ(1714979289u, FromIso8601("2024-05-06 07:08:09"));
  EXPECT_EQ(1714979289u, FromIso8601("2024-05-06T07:08:09"));
  EXPECT_EQ(0u, FromIso8601("1970-01-01 00:00:00"));
  EXPECT_EQ(0u, FromIso8601(""));
}

TEST_F(KTimeUtc, RejectsEachFieldWithItsMessage) {
  EXPECT_EQ("invalid input", ParseMessage("2024-05-06 07:08:09Z"));
  EXPECT_EQ("invalid input", ParseMessage("2024-05-06"));
  EXPECT_EQ("invalid year", ParseMessage("1899-05-06 07:08:09"));
  EXPECT_EQ("invalid year", ParseMessage("abcd-05-06 07:08:09"));
  EXPECT_EQ("invalid month", ParseMessage("2024-13-01 00:00:00"));
  EXPECT_EQ("invalid month", ParseMessage("2024-00-01 00:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("2024-05-00 00:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("2024-05-32 00:00:00"));
  EXPECT_EQ("invalid hour", ParseMessage("2024-05-06 24:00:00"));
  EXPECT_EQ("invalid minute", ParseMessage("2024-05-06 23:60:00"));
  EXPECT_EQ("invalid second", ParseMessage("2024-05-06 23:59:60"));
  // The first failing field wins.
  EXPECT_EQ("invalid month", ParseMessage("2024-99-99 99:99:99"));
}

TEST_F(KTimeUtc, KnowsMonthLengthsAndLeapYears) {
  EXPECT_EQ("no exception", ParseMessage("2024-02-29 00:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("2023-02-29 00:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("1900-02-29 00:00:00"));
  EXPECT_EQ("no exception", ParseMessage("2000-02-29 00:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("2024-02-30 00:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("2024-04-31 10:00:00"));
  EXPECT_EQ("no exception", ParseMessage("2024-04-30 10:00:00"));
  EXPECT_EQ("invalid day", ParseMessage("2024-11-31 10:00:00"));
  EXPECT_EQ("no exception", ParseMessage("2024-12-31 10:00:00"));
}

TEST_F(KTimeUtc, DatesBeyondUnsignedUnixTimeGiveZero) {
  EXPECT_EQ(0u, FromIso8601("1969-12-31 23:59:59"));
  EXPECT_EQ(0u, FromIso8601("2200-01-01 00:00:00"));
}

TEST(KTimeMember, LeadingZeroAndRange) {
  int value = -5;
  EXPECT_TRUE(dodudo::time::detail::Iso8601Member("07", 0, 23, &value));
  EXPECT_EQ(7, value);
  EXPECT_TRUE(dodudo::time::detail::Iso8601Member("00", 0, 59, &value));
  EXPECT_EQ(0, value);
  EXPECT_FALSE(dodudo::time::detail::Iso8601Member("x1", 0, 59, &value));
  EXPECT_TRUE(dodudo::time::detail::Iso8601Member(" 7x", 0, 9, &value));  // blank skipped, tail ignored
  EXPECT_EQ(7, value);
  EXPECT_FALSE(dodudo::time::detail::Iso8601Member("60", 0, 59, &value));
  EXPECT_EQ(7, value);  // untouched on failure
}

TEST_F(KTimeUtc, FormatsAndConvertsRecords) {
  EXPECT_EQ("1970-01-01 00:00:00", dodudo::time::FormatIso8601(0));
  KSystemTime t = dodudo::time::FromUnixTime(1714979289u);
  EXPECT_EQ(2024, t.year);
  EXPECT_EQ(5, t.month);
  EXPECT_EQ(6, t.day);
  EXPECT_EQ(1, t.dayOfWeek);  // a Monday
  EXPECT_EQ(7, t.hour);
  EXPECT_EQ(0, t.milliseconds);
  EXPECT_EQ(1714979289u, dodudo::time::FromSystemTime(t));
  EXPECT_EQ("06/05/2024 07:08", dodudo::time::Format(t, "%d/%m/%Y %H:%M"));
}

TEST(KTimeFormat, ResultBeyond2047CharactersIsEmpty) {
  std::string fits(2047, 'x');
  std::string tooLong(2048, 'x');
  EXPECT_EQ(fits, dodudo::time::Format(0u, fits.c_str()));
  EXPECT_EQ("", dodudo::time::Format(0u, tooLong.c_str()));
  EXPECT_EQ("", dodudo::time::Format(0u, nullptr));
}

TEST(KTimeCompare, OrdersChronologicallyIgnoringDayOfWeek) {
  KSystemTime a;
  a.year = 2024;
  a.month = 5;
  a.day = 6;
  a.dayOfWeek = 1;
  a.hour = 7;
  KSystemTime b = a;
  b.dayOfWeek = 4;
  EXPECT_TRUE(a <= b);
  EXPECT_TRUE(b <= a);
  EXPECT_TRUE(a >= b);
  b.milliseconds = 1;
  EXPECT_TRUE(a <= b);
  EXPECT_FALSE(b <= a);
  EXPECT_TRUE(b >= a);
  b = a;
  b.month = 4;
  b.day = 30;  // earlier month outweighs a later day
  EXPECT_TRUE(b <= a);
  EXPECT_FALSE(a <= b);
}

TEST(KTimeClock, NowAgreesWithUnixTime) {
  unsigned int before = dodudo::time::UnixTime();
  KSystemTime now = dodudo::time::Now();
  unsigned int fromNow = dodudo::time::FromSystemTime(now);
  // FromSystemTime reads standard time; allow an hour of daylight saving and a second of drift.
  EXPECT_LE(before, fromNow + 3601);
  EXPECT_GE(fromNow, before - 3601);
  EXPECT_LT(now.milliseconds, 1000);
  int yday = dodudo::time::YearDay();
  EXPECT_GE(yday, 0);
  EXPECT_LE(yday, 365);
}

}  // namespace
