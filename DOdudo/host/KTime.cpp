#include "DOdudo/host/KTime.h"

#include <sys/time.h>

#include <cstdint>

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KHostSystem.h"

namespace dodudo {
namespace time {

namespace {

using KSystemTimeException = KTemplateException<__ERROR__KSystemTimeException>;

KSystemTime FromTM(const tm& t, uint16_t milliseconds) {
  KSystemTime out;
  out.year = static_cast<uint16_t>(t.tm_year + 1900);
  out.month = static_cast<uint8_t>(t.tm_mon + 1);
  out.day = static_cast<uint8_t>(t.tm_mday);
  out.dayOfWeek = static_cast<uint8_t>(t.tm_wday);
  out.hour = static_cast<uint8_t>(t.tm_hour);
  out.minute = static_cast<uint8_t>(t.tm_min);
  out.second = static_cast<uint8_t>(t.tm_sec);
  out.milliseconds = milliseconds;
  return out;
}

// Unix times are unsigned 32-bit: anything before 1970 or after 2106 cannot be represented.
unsigned int ToUnixTime(time_t t) {
  if (t < 0 || static_cast<unsigned long long>(t) > 0xFFFFFFFFull) return 0;
  return static_cast<unsigned int>(t);
}

bool IsLeapYear(int year) { return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0); }

bool DayFitsMonth(int year, int month, int day) {
  if (day == 31 && (month == 4 || month == 6 || month == 9 || month == 11)) return false;
  if (month == 2) {
    if (day > 29) return false;
    if (day == 29 && !IsLeapYear(year)) return false;
  }
  return true;
}

// Reads the field at [position, position + length) or throws with message.
int Field(const dodudo::kstring& text, size_t position, size_t length, int minimum, int maximum,
          const char* message) {
  int value = 0;
  if (!detail::Iso8601Member(text.substr(position, length), minimum, maximum, &value))
    throw KSystemTimeException("%s", message);
  return value;
}

}  // namespace

KSystemTime Now() {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  return FromTM(local, static_cast<uint16_t>(now.tv_usec / 1000));
}

unsigned int UnixTime() { return static_cast<unsigned int>(::time(nullptr)); }

int YearDay() {
  time_t now = ::time(nullptr);
  if (now == static_cast<time_t>(-1)) return 0;
  tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  return local.tm_yday;
}

int TimeZoneBias() {
  time_t now = ::time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  return static_cast<int>(-(local.tm_gmtoff / 60) * 60);
}

unsigned int GetTick() { return KHostSystem::GetTick(); }

// The full interval is slept even beyond 71 minutes, where a product in microseconds would no
// longer fit in 32 bits.
void Delay(unsigned int ms) { KHostSystem::Delay(ms); }

KSystemTime FromUnixTime(unsigned int t) {
  tm local = detail::ToTM(t);
  return FromTM(local, 0);
}

unsigned int FromSystemTime(const KSystemTime& time) {
  tm t = detail::ToTM(time);
  return ToUnixTime(mktime(&t));
}

namespace detail {

tm ToTM(const KSystemTime& time) {
  tm t{};
  t.tm_year = time.year - 1900;
  t.tm_mon = time.month - 1;
  t.tm_mday = time.day;
  t.tm_wday = time.dayOfWeek;
  t.tm_hour = time.hour;
  t.tm_min = time.minute;
  t.tm_sec = time.second;
  t.tm_isdst = 0;
  return t;
}

tm ToTM(unsigned int t) {
  time_t seconds = static_cast<time_t>(t);
  tm local{};
  localtime_r(&seconds, &local);
  return local;
}

bool Iso8601Member(dodudo::kstring text, int minimum, int maximum, int* value) {
  if (!text.empty() && text[0] == '0') text = text.substr(1, 1);
  long number = from_string<long>(text, -1L);
  if (number < minimum || number > maximum) return false;
  if (value != nullptr) *value = static_cast<int>(number);
  return true;
}

}  // namespace detail

dodudo::kstring Format(tm& time, const char* format) {
  if (format == nullptr) return dodudo::kstring();
  char buffer[2048];
  size_t length = strftime(buffer, sizeof buffer, format, &time);
  return dodudo::kstring(buffer, length);
}

dodudo::kstring Format(const KSystemTime& time, const char* format) {
  tm t = detail::ToTM(time);
  return Format(t, format);
}

dodudo::kstring Format(unsigned int t, const char* format) {
  tm local = detail::ToTM(t);
  return Format(local, format);
}

dodudo::kstring Format(const char* format) { return Format(Now(), format); }

dodudo::kstring FormatIso8601(unsigned int t) { return Format(t, "%Y-%m-%d %H:%M:%S"); }

unsigned int FromIso8601(const dodudo::kstring& text) {
  if (text.empty()) return 0;
  if (text.size() != 19) throw KSystemTimeException("invalid input");
  // Fixed positions: YYYY-MM-DDThh:mm:ss; the separators themselves are not examined.
  const int year = Field(text, 0, 4, 1900, 9999, "invalid year");
  const int month = Field(text, 5, 2, 1, 12, "invalid month");
  const int day = Field(text, 8, 2, 1, 31, "invalid day");
  if (!DayFitsMonth(year, month, day)) throw KSystemTimeException("invalid day");
  const int hour = Field(text, 11, 2, 0, 23, "invalid hour");
  const int minute = Field(text, 14, 2, 0, 59, "invalid minute");
  const int second = Field(text, 17, 2, 0, 59, "invalid second");

  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return ToUnixTime(mktime(&t));
}

}  // namespace time
}  // namespace dodudo
