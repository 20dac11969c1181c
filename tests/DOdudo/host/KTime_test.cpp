// Calendar helpers: the ISO 8601 parser's table, formatting and record comparison.
#include "DOdudo/host/KTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "DOdudo/host/KBaseException.h"

namespace {

using dodudo::time::FromIso8601;
using dodudo::time::KSystemTime;
using ParseError = KTemplateException<dodudo::time::__ERROR__KSystemTimeException>;

// The tests run in UTC so that expected Unix times are plain numbers.
[[maybe_unused]] const bool kUtc = (setenv("TZ", "UTC", 1), tzset(), true);

// The parser's message, "0" for a zero result, "ok" for any other.
std::string ParseMessage(const char* text) {
  try {
    return FromIso8601(text) == 0 ? "0" : "ok";
  } catch (const ParseError& e) {
    return e.what();
  }
}

// Every message of the field table; 0 outside unsigned 32-bit Unix time; month lengths and leap
// years.
TEST(KTime, ParserTable) {
  // clang-format off
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
      {"", "0"},                                 {"2024-05-06T07:08:09", "ok"},
      {"1969-12-31 23:59:59", "0"},              {"2200-01-01 00:00:00", "0"},
      {"2024-02-29 00:00:00", "ok"},             {"2023-02-29 00:00:00", "invalid day"},
      {"1900-02-29 00:00:00", "invalid day"},    {"2000-02-29 00:00:00", "ok"},
      {"2024-04-31 10:00:00", "invalid day"},    {"2024-12-31 10:00:00", "ok"},
  };
  // clang-format on
  for (const auto& c : cases) EXPECT_EQ(c.message, ParseMessage(c.text)) << c.text;
}

TEST(KTime, FormatsConvertsAndComparesRecords) {
  EXPECT_EQ("1970-01-01 00:00:00", dodudo::time::FormatIso8601(0));
  EXPECT_EQ(1714979289u, FromIso8601("2024-05-06 07:08:09"));
  KSystemTime t = dodudo::time::FromUnixTime(1714979289u), u = t;
  EXPECT_EQ(1, t.dayOfWeek);  // a Monday
  EXPECT_EQ(1714979289u, dodudo::time::FromSystemTime(t));
  EXPECT_EQ("06/05/2024 07:08", dodudo::time::Format(t, "%d/%m/%Y %H:%M"));
  // The result is bounded at 2047 characters.
  std::string fits(2047, 'x'), tooLong(2048, 'x');
  EXPECT_EQ(fits, dodudo::time::Format(0u, fits.c_str()));
  EXPECT_EQ("", dodudo::time::Format(0u, tooLong.c_str()));
  // Chronological order, without regard to the day of the week.
  u.dayOfWeek = 4;
  EXPECT_TRUE(t <= u && u <= t && t >= u);
  u.milliseconds = t.milliseconds + 1;
  EXPECT_TRUE(t <= u && u >= t && !(u <= t));
  u = t;
  u.month = 4;
  u.day = 30;  // an earlier month outweighs a later day
  EXPECT_FALSE(t <= u);
}

}  // namespace
