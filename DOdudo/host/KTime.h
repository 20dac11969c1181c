#pragma once

#include <ctime>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"
#include "DOdudo/host/KSystemTime.h"

// Calendar and clock helpers. All calendar work is in local time. Unix times are unsigned 32-bit
// seconds since 1970-01-01 UTC; ticks are unsigned 32-bit monotonic milliseconds wrapping at 2^32.
// Everything here is safe from any thread (reentrant C library calls only). Only FromIso8601
// throws.
namespace dodudo {
namespace time {

// Tag of the exceptions raised by FromIso8601: KTemplateException<__ERROR__KSystemTimeException>.
struct DODUDO_API __ERROR__KSystemTimeException;

// Current local time with milliseconds and day of week.
DODUDO_API KSystemTime Now();
DODUDO_API unsigned int UnixTime();
// Day of the year (0 for 1 January); 0 if the clock or the conversion fails.
DODUDO_API int YearDay();
// Offset of local time in seconds west of UTC, whole minutes.
DODUDO_API int TimeZoneBias();
// Monotonic milliseconds; 0 if the clock cannot be read.
DODUDO_API unsigned int GetTick();
// Sleeps ms milliseconds, resuming after signals.
DODUDO_API void Delay(unsigned int ms);

// Local time of t; milliseconds 0.
DODUDO_API KSystemTime FromUnixTime(unsigned int t);
// Unix time of the record read as local standard time (daylight saving not in effect); day of week
// and milliseconds are ignored. 0 when the date cannot be represented.
DODUDO_API unsigned int FromSystemTime(const KSystemTime& time);

namespace detail {
// year - 1900, month - 1, day, day of week, hour, minute, second; daylight-saving flag 0.
DODUDO_API tm ToTM(const KSystemTime& time);
DODUDO_API tm ToTM(unsigned int t);
// Reads one ISO 8601 field: a leading '0' is dropped ("07" reads as 7), then a decimal number;
// true and *value set when it lies within [minimum, maximum].
DODUDO_API bool Iso8601Member(dodudo::kstring text, int minimum, int maximum, int* value);
}  // namespace detail

// strftime; a result longer than 2047 characters (or a null format) gives an empty text.
DODUDO_API dodudo::kstring Format(tm& time, const char* format);
DODUDO_API dodudo::kstring Format(const KSystemTime& time, const char* format);
DODUDO_API dodudo::kstring Format(unsigned int t, const char* format);
DODUDO_API dodudo::kstring Format(const char* format);
// "YYYY-MM-DD hh:mm:ss" in local time.
DODUDO_API dodudo::kstring FormatIso8601(unsigned int t);

// Parses exactly 19 characters "YYYY-MM-DDThh:mm:ss" (the separators are not examined) as local
// time. The empty text gives 0, as does a date the platform cannot represent. Throws
// KTemplateException<__ERROR__KSystemTimeException> with "invalid input" (length), "invalid year",
// "invalid month", "invalid day" (range, month length, 29 February outside leap years),
// "invalid hour", "invalid minute" or "invalid second".
DODUDO_API unsigned int FromIso8601(const dodudo::kstring& text);

}  // namespace time
}  // namespace dodudo
