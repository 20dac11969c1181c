#include "tools/snlctl/Keepalive.h"

#include <signal.h>
#include <time.h>

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

struct BoardRun {
  int board;
  int slot;  // the library's index of the board
  long failed = 0;
  long failedInARow = 0;
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
    std::printf("board %d: %ld pings, %ld failed\n", r.board, sent, r.failed);
  }
}

}  // namespace

int RunKeepalive(const KeepaliveOptions& o) {
  // Blocked before the start so that a signal arriving at any point is seen by the wait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, sig);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

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

  long sent = 0;
  int signal = 0;
  const BoardRun* lost = nullptr;
  timespec next = Now();
  while (lost == nullptr && (o.count == 0 || sent < o.count)) {
    next = AddMs(next, o.intervalMs);
    signal = WaitUntil(stopSignals, next);
    if (signal != 0) break;
    ++sent;
    for (BoardRun& r : runs) {
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
  }
  StopAll(runs, o, sent, signal);
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
