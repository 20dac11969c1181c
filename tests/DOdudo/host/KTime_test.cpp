// Calendar helpers: the ISO 8601 parser's table, formatting and record comparison.
#include <gtest/gtest.h>

#include <cstdlib>
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
  return "ok";
}

TEST_F(KTimeUtc, ParsesBothSeparatorStyles) {
  EXPECT_EQ(1714979289u, FromIso8601("2024-05-06 07:08:09"));
  EXPECT_EQ(1714979289u, FromIso8601("2024-05-06T07:08:09"));
  EXPECT_EQ(0u, FromIso8601(""));
  // Outside unsigned 32-bit Unix time.
  EXPECT_EQ(0u, FromIso8601("1969-12-31 23:59:59"));
  EXPECT_EQ(0u, FromIso8601("2200-01-01 00:00:00"));
}

TEST_F(KTimeUtc, MessagesOfTheFieldTable) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"2024-05-06 07:08:09Z", "invalid input"}, {"2024-05-06", "invalid input"},
      {"1899-05-06 07:08:09", "invalid year"},   {"abcd-05-06 07:08:09", "invalid year"},
      {"2024-13-01 00:00:00", "invalid month"},  {"2024-00-01 00:00:00", "invalid month"},
      {"2024-05-00 00:00:00", "invalid day"},    {"2024-05-32 00:00:00", "invalid day"},
      {"2024-05-06 24:00:00", "invalid hour"},   {"2024-05-06 23:60:00", "invalid minute"},
      {"2024-05-06 23:59:60", "invalid second"}, {"2024-99-99 99:99:99", "invalid month"},
      // Month lengths and leap years.
      {"2024-02-29 00:00:00", "ok"},             {"2023-02-29 00:00:00", "invalid day"},
      {"1900-02-29 00:00:00", "invalid day"},    {"2000-02-29 00:00:00", "ok"},
      {"2024-02-30 00:00:00", "invalid day"},    {"2024-04-31 10:00:00", "invalid day"},
      {"2024-04-30 10:00:00", "ok"},             {"2024-11-31 10:00:00", "invalid day"},
      {"2024-12-31 10:00:00", "ok"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.message, ParseMessage(c.text)) << c.text;
}

TEST_F(KTimeUtc, FormatsAndConvertsRecords) {
  EXPECT_EQ("1970-01-01 00:00:00", dodudo::time::FormatIso8601(0));
  KSystemTime t = dodudo::time::FromUnixTime(1714979289u);
  EXPECT_EQ(1, t.dayOfWeek);  // a Monday
  EXPECT_EQ(1714979289u, dodudo::time::FromSystemTime(t));
  EXPECT_EQ("06/05/2024 07:08", dodudo::time::Format(t, "%d/%m/%Y %H:%M"));
  // The result is bounded at 2047 characters.
  std::string fits(2047, 'x'), tooLong(2048, 'x');
  EXPECT_EQ(fits, dodudo::time::Format(0u, fits.c_str()));
  EXPECT_EQ("", dodudo::time::Format(0u, tooLong.c_str()));
}

TEST(KTimeCompare, OrdersChronologicallyIgnoringDayOfWeek) {
  KSystemTime a;
  a.year = 2024;
  a.month = 5;
  a.day = 6;
  KSystemTime b = a;
  b.dayOfWeek = 4;
  EXPECT_TRUE(a <= b && b <= a && a >= b);
  b.milliseconds = 1;
  EXPECT_TRUE(a <= b && b >= a);
  EXPECT_FALSE(b <= a);
  b = a;
  b.month = 4;
  b.day = 30;  // an earlier month outweighs a later day
  EXPECT_FALSE(a <= b);
}

}  // namespace
