// Formatting of log text: every format gives exactly what the C library's printf gives, whether
// the quick path handles it or hands it on.
#include "DOdudo/KLogPlatform.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-truncation"
#pragma GCC diagnostic ignored "-Wformat-overflow"
template <typename... Args>
void ExpectAsPrintf(const char* format, Args... args) {
  char expected[512];
  snprintf(expected, sizeof expected, format, args...);
  std::string out = "<";
  klogdetail::AppendFormat(out, format, args...);
  EXPECT_EQ(std::string("<") + expected, out) << format;
}

TEST(KLogFormat, SameTextAsPrintf) {
  ExpectAsPrintf("Device %d, GetStatus CMD sent, return: %i (%08d)", 3, -1, 12345);
  ExpectAsPrintf("|D%0*d C%0*d| |%-8s|%5s|%.3s|%-6.2s|", 1, 7, 2, -3, "SNL", "ab", "abcdef", "xyz");
  ExpectAsPrintf("%d %d %u %x %X %5x %-5X| %05d %-05d %*d %-*d %0*d", INT_MIN, INT_MAX, UINT_MAX,
                 0xbeefu, 0xbeefu, 0x1fu, 0x1fu, -42, -42, -6, 9, 6, 9, -5, 3);
  ExpectAsPrintf("%ld %lu %lx %lld %llu %llx %zu %zd", LONG_MIN, ULONG_MAX, 255ul, LLONG_MIN,
                 ULLONG_MAX, 0x123456789abcdefull, static_cast<size_t>(77),
                 static_cast<ssize_t>(-77));
  ExpectAsPrintf("%c%-3c|%3c %% 100%% %s", 'a', 'b', 'c', "");
  ExpectAsPrintf("no conversion at all");
  // Handed on to the C library: floating point, flags and forms the quick path leaves alone.
  ExpectAsPrintf("%5.2f %e %g %p", 3.14159, 1e10, 0.5, reinterpret_cast<void*>(0x1234));
  ExpectAsPrintf("%+d % d %#x %#o %.3d %hd %hhu %o", 5, 5, 255u, 8u, 7, 70000, 300, 8u);
  ExpectAsPrintf("%s %.*s %5%", static_cast<const char*>(nullptr), -1, "whole");
  ExpectAsPrintf("%2$s %1$s", "second", "first");
}
#pragma GCC diagnostic pop

}  // namespace
