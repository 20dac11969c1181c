// The wall clock of the test program, shifted by StepWallClock: the --wrap targets of the test
// binaries' link (tests/CMakeLists.txt).
#include "support/WallClock.h"

#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace {
std::atomic<long long> g_shiftSeconds{0};
}  // namespace

extern "C" {
int __real_clock_gettime(clockid_t clock, timespec* now);
time_t __real_time(time_t* out);
int __real_gettimeofday(timeval* now, void* zone);

int __wrap_clock_gettime(clockid_t clock, timespec* now) {
  int rc = __real_clock_gettime(clock, now);
  if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
    now->tv_sec += static_cast<time_t>(g_shiftSeconds.load(std::memory_order_relaxed));
  return rc;
}

time_t __wrap_time(time_t* out) {
  time_t now = __real_time(nullptr) + static_cast<time_t>(g_shiftSeconds.load());
  if (out != nullptr) *out = now;
  return now;
}

int __wrap_gettimeofday(timeval* now, void* zone) {
  int rc = __real_gettimeofday(now, zone);
  if (rc == 0 && now != nullptr) now->tv_sec += static_cast<time_t>(g_shiftSeconds.load());
  return rc;
}
}

void snltest::StepWallClock(long long seconds) { g_shiftSeconds.fetch_add(seconds); }
