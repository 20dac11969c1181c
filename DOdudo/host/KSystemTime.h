#pragma once

#include <cstdint>

#include "DOdudo/host/KExport.h"

namespace dodudo {
namespace time {

// Broken-down local time. The day of week (0 Sunday .. 6) is filled by Now and FromUnixTime only;
// it takes no part in comparisons or conversions to Unix time. A plain value, copy freely.
struct KSystemTime {
  uint16_t year = 0;          // full year, e.g. 2024
  uint8_t month = 0;          // 1..12
  uint8_t day = 0;            // 1..31
  uint8_t dayOfWeek = 0;      // 0..6
  uint8_t hour = 0;           // 0..23
  uint8_t minute = 0;         // 0..59
  uint8_t second = 0;         // 0..60
  uint16_t milliseconds = 0;  // 0..999
};

// Chronological order on year, month, day, hour, minute, second and milliseconds; the day of week
// is ignored, so records differing only there satisfy both. Found by argument-dependent lookup.
DODUDO_API bool operator<=(const KSystemTime& a, const KSystemTime& b);
DODUDO_API bool operator>=(const KSystemTime& a, const KSystemTime& b);

}  // namespace time
}  // namespace dodudo
