#pragma once

// snlctl keepalive: starts a board's watchdog, then pings it at a fixed interval until SIGINT or
// SIGTERM arrives or a given number of pings has been sent. A failed ping is reported on stderr
// and the loop goes on (the next ping may succeed). On a clean end the watchdog is stopped again,
// unless keepArmed asks to leave it running. Blocks SIGINT and SIGTERM in the calling thread and
// waits for them synchronously; call it from a single-threaded main.

namespace snlctl {

struct KeepaliveOptions {
  int board = 0;
  long intervalMs = 1000;
  long count = 0;  // 0: until a signal arrives
  bool keepArmed = false;
};

// Returns kExitOk when every ping and the final stop succeeded, kExitFailed otherwise.
int RunKeepalive(const KeepaliveOptions& options);

}  // namespace snlctl
