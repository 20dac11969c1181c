#include "DOdudo/KLogPlatform.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace klogdetail {

// The fields of KHostSystem::GetTime. The calendar part changes once a second, and localtime_r
// takes a process-wide lock that threads logging at once would queue on; so each thread keeps
// the broken-down time of the last second it saw.
dodudo::time::KSystemTime LocalNow() {
  thread_local time_t cachedSecond = -1;
  thread_local dodudo::time::KSystemTime cached;
  timeval now{};
  gettimeofday(&now, nullptr);
  if (now.tv_sec != cachedSecond) {
    tm local{};
    time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    cached.year = static_cast<uint16_t>(local.tm_year + 1900);
    cached.month = static_cast<uint8_t>(local.tm_mon + 1);
    cached.day = static_cast<uint8_t>(local.tm_mday);
    cached.hour = static_cast<uint8_t>(local.tm_hour);
    cached.minute = static_cast<uint8_t>(local.tm_min);
    cached.second = static_cast<uint8_t>(local.tm_sec);
    cachedSecond = now.tv_sec;
  }
  dodudo::time::KSystemTime result = cached;
  result.milliseconds = static_cast<uint16_t>(now.tv_usec / 1000);
  return result;
}

int KernelThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

void AppendVFormat(std::string& out, const char* format, va_list args) {
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  size_t old = out.size();
  out.resize(old + static_cast<size_t>(n) + 1);
  vsnprintf(&out[old], static_cast<size_t>(n) + 1, format, args);
  out.resize(old + static_cast<size_t>(n));
}

void AppendFormat(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendVFormat(out, format, args);
  va_end(args);
}

}  // namespace klogdetail
