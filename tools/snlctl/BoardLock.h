#pragma once

// The advisory lock through which snlctl processes take turns with the boards. Every process that
// loads libsnl resets and claims the boards, so two of them at once disturb each other: a board
// command holds the lock while it runs, the keep-alive for as long as it keeps the boards alive.
//
// The lock is flock(2) on /run/snl/boards.lock (created by the tmpfiles.d entry, group-writable
// for the boards' group; root creates it when it is missing). The holder writes its pid and its
// command into the file, so that a refused command can say who has the boards.

#include <string>

namespace snlctl {

class BoardLock {
 public:
  static constexpr const char* kPath = "/run/snl/boards.lock";
  static constexpr int kWaitSeconds = 30;

  // Takes the lock for command ("list", "keepalive 0", ...). While a short command holds it, waits
  // for it (at most kWaitSeconds); a keep-alive is never waited for. Throws BoardsBusy when the
  // lock stays taken, std::runtime_error when the lock file cannot be opened.
  explicit BoardLock(const std::string& command);
  // Releases the lock (also released by the kernel when the process ends, however it ends).
  ~BoardLock();
  BoardLock(const BoardLock&) = delete;
  BoardLock& operator=(const BoardLock&) = delete;

 private:
  int fd_ = -1;
  bool writable_ = false;
};

}  // namespace snlctl
