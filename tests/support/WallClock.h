#pragma once

namespace snltest {

// Steps the wall clock as this test program sees it (clock_gettime of CLOCK_REALTIME and
// CLOCK_REALTIME_COARSE, time, gettimeofday) by `seconds` more; the monotonic clocks and the
// kernel's own clock stay. The test binaries are linked with --wrap for these calls, so the
// library code linked into them sees the step too. Call from the test's thread before starting
// the work measured: the shift is read without a lock.
void StepWallClock(long long seconds);

}  // namespace snltest
