#include "tools/snlctl/Keepalive.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "snl/snl.h"
#include "tools/snlctl/Cli.h"

namespace snlctl {

namespace {
constexpr long kNsPerMs = 1000000L;
constexpr long kNsPerSecond = 1000000000L;

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec AddMs(timespec t, long ms) {
  t.tv_sec += ms / 1000;
  t.tv_nsec += (ms % 1000) * kNsPerMs;
  if (t.tv_nsec >= kNsPerSecond) {
    t.tv_sec += 1;
    t.tv_nsec -= kNsPerSecond;
  }
  return t;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits until the monotonic deadline. Returns the signal number when one of the blocked signals
// in stopSignals arrived first, 0 at the deadline.
int WaitUntil(const sigset_t& stopSignals, const timespec& deadline) {
  for (;;) {
    timespec now = Now();
    timespec left{0, 0};
    if (Before(now, deadline)) {
      left.tv_sec = deadline.tv_sec - now.tv_sec;
      left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
      if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += kNsPerSecond;
      }
    }
    int sig = sigtimedwait(&stopSignals, nullptr, &left);
    if (sig > 0) return sig;
    if (errno == EAGAIN) return 0;  // deadline reached
    // EINTR: another signal (stop/continue, ...) interrupted the wait; wait for the rest.
  }
}
}  // namespace

int RunKeepalive(const KeepaliveOptions& o) {
  // Blocked before the start so that a signal arriving at any point is seen by the wait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  if (snlStartWatch(o.board) != 0) {
    std::fprintf(stderr, "snlctl: board %d: start failed, nothing to keep alive\n", o.board);
    return kExitFailed;
  }
  std::printf("board %d: watchdog started, pinging every %ld ms\n", o.board, o.intervalMs);

  long sent = 0;
  long failed = 0;
  int signal = 0;
  timespec next = Now();
  while (o.count == 0 || sent < o.count) {
    next = AddMs(next, o.intervalMs);
    signal = WaitUntil(stopSignals, next);
    if (signal != 0) break;
    ++sent;
    if (snlPingWatch(o.board) != 0) {
      ++failed;
      std::fprintf(stderr, "snlctl: board %d: ping %ld failed\n", o.board, sent);
    }
    // A ping that took longer than the interval (a board timing out) must not be followed by a
    // burst of catch-up pings: the schedule restarts from now.
    timespec now = Now();
    if (Before(next, now)) next = now;
  }
  if (signal != 0) std::printf("board %d: %s received\n", o.board, strsignal(signal));

  bool stopFailed = false;
  if (!o.keepArmed) {
    stopFailed = snlStopWatch(o.board) != 0;
    if (stopFailed)
      std::fprintf(stderr, "snlctl: board %d: stop failed, the watchdog may still be armed\n",
                   o.board);
    else
      std::printf("board %d: watchdog stopped\n", o.board);
  }
  std::printf("board %d: %ld pings, %ld failed\n", o.board, sent, failed);
  return failed == 0 && !stopFailed ? kExitOk : kExitFailed;
}

}  // namespace snlctl
