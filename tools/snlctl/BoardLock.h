#pragma once

// The advisory locks through which snlctl processes share the boards. Loading libsnl resets and
// claims the boards a process names (SNL_BOARDS) or every board, so two processes must never
// load it for the same board at once, and a command for every board must not run beside any.
//
// Locks are flock(2) on files under /run/snl, made by the tmpfiles.d entry (the group's files in a
// directory only root can add names to, so no member can plant or replace one; root creates the
// directory when it is missing, and the file of a board beyond the entry's):
//   - boards.lock: shared by every command for named boards, exclusive for a command for every
//     board (list);
//   - board<N>.lock: exclusive for a command for board N, held for as long as it runs (a
//     keep-alive for as long as it keeps the board alive).
//   - load.lock: exclusive while the library loads. Loading resets the boards named, and a reset
//     board is away from the bus for a moment; a process counting the boards in port order in
//     that moment would take the next board for the one it was given. So processes load one at
//     a time (a few seconds each), even for different boards.
// So keep-alives of different boards run side by side, and "snlctl status 1" runs beside the
// keep-alive of board 0. A board whose file cannot be used (missing and not ours to make, not a
// regular file, a second name of another lock) is covered by boards.lock taken exclusively
// instead: nothing left in the directory refuses a command. An exclusive holder writes its pid
// and command into the file (unless it cannot, or the file has another name elsewhere), so that
// a refused command can say who has the board.

#include <memory>
#include <string>
#include <vector>

namespace snlctl {

class BoardLock {
 public:
  static constexpr const char* kDirectory = "/run/snl";
  static constexpr int kWaitSeconds = 30;

  // Takes the locks for command ("list", "keepalive 0", ...) on boards (empty: every board).
  // While a short command holds what is needed, waits for it (at most kWaitSeconds in all); a
  // keep-alive is never waited for. Throws BoardsBusy when a lock stays taken,
  // std::runtime_error when a lock file cannot be opened.
  BoardLock(const std::string& command, const std::vector<int>& boards);
  // Releases the locks (also released by the kernel when the process ends, however it ends).
  ~BoardLock();
  // The library has loaded (its boards are claimed): releases load.lock.
  void Loaded();
  BoardLock(const BoardLock&) = delete;
  BoardLock& operator=(const BoardLock&) = delete;

  struct File;

 private:
  std::vector<std::unique_ptr<File>> files_;
  std::unique_ptr<File> loading_;
};

}  // namespace snlctl
