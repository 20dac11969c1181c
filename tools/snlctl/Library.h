#pragma once

// libsnl's C interface, loaded only when a command needs the boards: loading the library resets
// and claims boards, which --help, vpd and a bad command line must never do. The first call of
// Boards() takes the board locks (BoardLock) for the command and boards named by UseBoardsFor,
// then loads the library found beside snlctl, restricted to those boards (SNL_BOARDS), and binds
// the functions.

#include <string>
#include <vector>

#include "snl/snl.h"

namespace snlctl {

struct SnlFunctions {
  decltype(&snlDevCount) DevCount;
  decltype(&snlDevSerial) DevSerial;
  decltype(&snlDevLinks) DevLinks;
  decltype(&snlStartWatch) StartWatch;
  decltype(&snlStopWatch) StopWatch;
  decltype(&snlPingWatch) PingWatch;
  decltype(&snlStatus) Status;
  decltype(&snlConfigure) Configure;
  decltype(&snlDebugLog) DebugLog;
};

// Names the command for the locks' holder text and the boards it works on (empty: every board),
// and asks for the debug lines once loaded. Call before the first Boards() or Slot().
void UseBoardsFor(const std::string& command, const std::vector<int>& boards, bool debug);

// The loaded interface. Throws BoardsBusy when the boards are held by another snlctl, and
// std::runtime_error when a lock or the library cannot be had. Single-threaded.
const SnlFunctions& Boards();

// The library's index of board (one of the boards named to UseBoardsFor, or any board when none
// was named). Loads the library. Throws UsageError when the library did not find the board.
int Slot(int board);

}  // namespace snlctl
