#include "tools/snlctl/Keepalive.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/snlctl/Cli.h"
#include "tools/snlctl/Library.h"

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

// Waits until the monotonic deadline and then until no command check runs any more (each
// ends or is killed at its time limit), reading the checks' output meanwhile. Returns the number
// of a stop signal that arrived first, 0 otherwise.
int WaitUntil(int signalFd, HealthChecks& checks, const timespec& deadline) {
  std::vector<pollfd> fds;
  for (;;) {
    const timespec now = Now();
    checks.Service(now);
    const bool due = !Before(now, deadline);
    if (due && !checks.Running()) return 0;
    timespec until = due ? AddMs(now, 3600L * 1000) : deadline;
    checks.EarliestDeadline(&until);
    timespec left{0, 0};
    if (Before(now, until)) {
      left.tv_sec = until.tv_sec - now.tv_sec;
      left.tv_nsec = until.tv_nsec - now.tv_nsec;
      if (left.tv_nsec < 0) {
        left.tv_sec -= 1;
        left.tv_nsec += kNsPerSecond;
      }
    }
    fds.assign(1, pollfd{signalFd, POLLIN, 0});
    checks.AddPollFds(&fds);
    // EINTR (a stop and continue, ...) just goes round again.
    if (ppoll(fds.data(), fds.size(), &left, nullptr) <= 0 || !(fds[0].revents & POLLIN)) continue;
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
      if (info.ssi_signo != SIGCHLD) return static_cast<int>(info.ssi_signo);
  }
}

struct BoardRun {
  int board;
  int slot;  // the library's index of the board
  long failed = 0;
  long failedInARow = 0;
  long withheld = 0;  // rounds not pinged because the health checks failed
  bool stopFailed = false;
};

// Stops the watchdogs (unless asked to leave them armed) and only then says what happened.
void StopAll(std::vector<BoardRun>& runs, const KeepaliveOptions& o, long sent, int signal) {
  if (!o.keepArmed)
    for (BoardRun& r : runs) r.stopFailed = Boards().StopWatch(r.slot) != 0;
  for (BoardRun& r : runs) {
    if (signal != 0) std::printf("board %d: %s received\n", r.board, strsignal(signal));
    if (o.keepArmed)
      std::printf("board %d: watchdog left armed\n", r.board);
    else if (r.stopFailed)
      std::fprintf(stderr, "snlctl: board %d: stop failed, the watchdog may still be armed\n",
                   r.board);
    else
      std::printf("board %d: watchdog stopped\n", r.board);
    if (r.withheld == 0)
      std::printf("board %d: %ld pings, %ld failed\n", r.board, sent, r.failed);
    else
      std::printf("board %d: %ld pings, %ld failed, %ld withheld\n", r.board, sent - r.withheld,
                  r.failed, r.withheld);
  }
}

// The health checks' verdict on ping number `ping`: false while they fail beyond the grace.
// Says when the pings stop and when they resume.
bool MayPing(HealthChecks& checks, const std::vector<BoardRun>& runs, long grace, long ping,
             long* unhealthyInARow) {
  if (checks.Empty()) return true;
  const bool withholding = *unhealthyInARow > grace;
  if (checks.Evaluate(ping, Now())) {
    if (withholding) {
      for (const BoardRun& r : runs)
        std::fprintf(stderr,
                     "snlctl: board %d: health checks pass again, pings resumed at ping %ld\n",
                     r.board, ping);
    } else if (*unhealthyInARow != 0) {
      std::fprintf(stderr, "snlctl: health checks pass again\n");
    }
    *unhealthyInARow = 0;
    return true;
  }
  if (++*unhealthyInARow <= grace) {
    std::fprintf(stderr, "snlctl: failure %ld in a row let pass (--grace %ld)\n", *unhealthyInARow,
                 grace);
    return true;
  }
  if (!withholding) {
    for (const BoardRun& r : runs)
      std::fprintf(stderr,
                   "snlctl: board %d: ping %ld withheld, and the next ones while the checks fail: "
                   "the watchdog stays armed and resets the machine when its time runs out\n",
                   r.board, ping);
  }
  return false;
}

}  // namespace

int RunKeepalive(const KeepaliveOptions& o) {
  // Blocked before the start so that a signal arriving at any point is seen by the wait below
  // (SIGCHLD: a check command ended). The library's threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&signals, sig);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signalFd < 0) {
    std::fprintf(stderr, "snlctl: cannot wait for signals: %s; nothing started\n",
                 std::strerror(errno));
    return kExitFailed;
  }
  HealthChecks checks(o.checks, o.intervalMs);

  // Every board is looked up before any is started: a board that is not there starts none.
  std::vector<int> slots;
  for (int board : o.boards) slots.push_back(Slot(board));
  std::vector<BoardRun> runs;
  for (size_t i = 0; i < o.boards.size(); ++i) {
    const int board = o.boards[i];
    if (Boards().StartWatch(slots[i]) != 0) {
      StopAll(runs, o, 0, 0);  // the boards started so far
      std::fprintf(stderr, "snlctl: board %d: start failed, nothing to keep alive\n", board);
      return kExitFailed;
    }
    runs.push_back(BoardRun{board, slots[i]});
  }
  for (const BoardRun& r : runs)
    std::printf("board %d: watchdog started, pinging every %ld ms\n", r.board, o.intervalMs);
  if (!checks.Empty())
    std::printf("health checks before each ping: %s\n", checks.Describe().c_str());

  long sent = 0;
  int signal = 0;
  const BoardRun* lost = nullptr;
  long unhealthyInARow = 0;
  timespec next = Now();
  checks.StartRound(next);
  while (lost == nullptr && (o.count == 0 || sent < o.count)) {
    next = AddMs(next, o.intervalMs);
    signal = WaitUntil(signalFd, checks, next);
    if (signal != 0) break;
    ++sent;
    const bool ping = MayPing(checks, runs, o.checks.grace, sent, &unhealthyInARow);
    for (BoardRun& r : runs) {
      if (!ping) {
        ++r.withheld;
        continue;
      }
      if (Boards().PingWatch(r.slot) == 0) {
        r.failedInARow = 0;
        continue;
      }
      ++r.failed;
      std::fprintf(stderr, "snlctl: board %d: ping %ld failed\n", r.board, sent);
      if (++r.failedInARow >= kMaxFailedInARow && lost == nullptr) lost = &r;
    }
    // A ping that took longer than the interval (a board timing out) must not be followed by a
    // burst of catch-up pings: the schedule restarts from now.
    timespec now = Now();
    if (Before(next, now)) next = now;
    if (o.count == 0 || sent < o.count) checks.StartRound(now);
  }
  StopAll(runs, o, sent, signal);
  checks.KillAll();  // only after the watchdogs are stopped
  close(signalFd);
  if (lost != nullptr) {
    std::fprintf(stderr,
                 "snlctl: board %d: %ld pings failed in a row: the board is gone or stuck; "
                 "giving up (exit status %d) so that a restart can find it again\n",
                 lost->board, kMaxFailedInARow, kExitBoardLost);
    return kExitBoardLost;
  }
  bool ok = true;
  for (const BoardRun& r : runs) ok = ok && r.failed == 0 && !r.stopFailed;
  return ok ? kExitOk : kExitFailed;
}

}  // namespace snlctl
