#pragma once

// libsnl's C interface, loaded only when a command needs the boards: loading the library resets
// and claims every board, which --help, vpd and a bad command line must never do. The first call
// of Boards() takes the board lock (BoardLock) for the command named by UseBoardsFor, then loads
// the library found beside snlctl and binds the functions.

#include <string>

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

// Names the command for the lock's holder text, and asks for the debug lines once loaded. Call
// before the first Boards().
void UseBoardsFor(const std::string& command, bool debug);

// The loaded interface. Throws BoardsBusy when the boards are held by another snlctl, and
// std::runtime_error when the lock or the library cannot be had. Single-threaded.
const SnlFunctions& Boards();

}  // namespace snlctl
