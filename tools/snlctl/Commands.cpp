#include "tools/snlctl/Commands.h"

#include <cstdio>

#include "tools/snlctl/Cli.h"
#include "tools/snlctl/Library.h"

namespace snlctl {

namespace {
// snlStatus answers 4 when the board did not answer with its status byte.
constexpr int kStatusNoAnswer = 4;

int Report(int board, const char* what, int rc) {
  if (rc == 0) {
    std::printf("board %d: %s ok\n", board, what);
    return kExitOk;
  }
  std::fprintf(stderr, "snlctl: board %d: %s failed (see /var/log/tolma/snl.log)\n", board, what);
  return kExitFailed;
}
}  // namespace

int ListBoards() {
  int count = Boards().DevCount();
  if (count == 0) {
    std::printf("no board found\n");
    return kExitOk;
  }
  std::printf("%-6s %-7s %-6s %s\n", "INDEX", "SERIAL", "LINKS", "STATUS");
  for (int i = 0; i < count; ++i)
    std::printf("%-6d %-7d %-6d %d\n", i, Boards().DevSerial(i), Boards().DevLinks(i),
                Boards().Status(i));
  return kExitOk;
}

int ShowStatus(int board) {
  int status = Boards().Status(Slot(board));
  if (status == kStatusNoAnswer) {
    std::fprintf(stderr, "snlctl: board %d: status 4 (no answer from the board)\n", board);
    return kExitFailed;
  }
  std::printf("board %d: status %d\n", board, status);
  return kExitOk;
}

int PingBoard(int board) { return Report(board, "ping", Boards().PingWatch(Slot(board))); }
int StartBoard(int board) { return Report(board, "start", Boards().StartWatch(Slot(board))); }
int StopBoard(int board) { return Report(board, "stop", Boards().StopWatch(Slot(board))); }

int ConfigureBoard(int board, unsigned char time, unsigned char links) {
  return Report(board, "configure", Boards().Configure(Slot(board), time, links));
}

}  // namespace snlctl
