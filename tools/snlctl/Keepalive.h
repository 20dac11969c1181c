#pragma once

// snlctl keepalive: starts the watchdog of one or more boards, then pings each of them at a fixed
// interval until SIGINT, SIGTERM or SIGHUP arrives or a given number of rounds has been sent. On
// a signal the watchdogs are stopped before anything is printed, so an output that is gone (a
// closed pipe, a dropped terminal) cannot keep a board armed; SIGPIPE must be ignored by the
// caller. A failed ping is reported on stderr and the loop goes on (a stall or a timeout passes),
// but kMaxFailedInARow failed pings in a row of one board end the run with kExitBoardLost: the
// library never reopens a board, so a board that was unplugged or reset stays unreachable for
// this process, and only a new one (the service manager's restart) finds it again. On any end
// the watchdogs are stopped again, unless keepArmed asks to leave them running.
//
// With health checks (HealthChecks.h), every ping is preceded by their verdict. While they fail
// (after `grace` failed rounds in a row) no board is pinged, and the boards stay armed: their
// watchdogs reset the machine when their time runs out, unless the checks pass again first,
// which resumes the pings. The command checks run in the background between two pings, each
// killed at its time limit, so a check that hangs never delays a ping by more than that limit.
//
// Blocks SIGINT, SIGTERM, SIGHUP and SIGCHLD in the calling thread and waits for them through a
// signalfd; call it from a single-threaded main, before the library starts any thread.

#include <vector>

#include "tools/snlctl/HealthChecks.h"

namespace snlctl {

// Five: a board that is there recovers from a stall or a timeout at the next ping, while one that
// is gone fails every ping at once; five failures in a row (five seconds at the default interval
// of one second) leave the restart well inside the watchdog times boards are configured with.
constexpr long kMaxFailedInARow = 5;

struct KeepaliveOptions {
  std::vector<int> boards;
  long intervalMs = 1000;
  long count = 0;  // rounds of pings; 0: until a signal arrives
  bool keepArmed = false;
  HealthCheckOptions checks;
};

// Returns kExitOk when every ping and the final stops succeeded, kExitBoardLost after
// kMaxFailedInARow failed pings in a row of a board, kExitFailed otherwise.
int RunKeepalive(const KeepaliveOptions& options);

}  // namespace snlctl
