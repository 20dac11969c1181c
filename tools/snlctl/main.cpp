// snlctl: operate USB watchdog boards through libsnl from the shell.
#include <fcntl.h>
#include <signal.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tools/snlctl/BoardLock.h"
#include "tools/snlctl/Cli.h"
#include "tools/snlctl/Commands.h"
#include "tools/snlctl/Keepalive.h"
#include "tools/snlctl/Library.h"
#include "tools/snlctl/VpdDump.h"

namespace snlctl {
namespace {

using Args = std::vector<std::string>;

bool g_debug = false;
bool Debug() { return g_debug; }

constexpr long kMaxIntervalMs = 3600L * 1000;
constexpr long kMaxCount = 1000000000L;

const char kUsage[] =
    "usage: snlctl [--debug] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  list                         index, serial, links and status of every board\n"
    "  status N                     status code of board N (0 to 3)\n"
    "  ping N                       ping the watchdog of board N\n"
    "  start N | stop N             start or stop the watchdog of board N\n"
    "  configure N TIME LINKS       send the configuration bytes TIME and LINKS (0 to 255)\n"
    "  keepalive N[,N...] --interval MS [--count K] [--keep-armed]\n"
    "                               start the boards, then ping them every MS milliseconds\n"
    "                               until SIGINT, SIGTERM or SIGHUP, or K rounds; stops the\n"
    "                               watchdogs at the end unless --keep-armed. After 5 failed\n"
    "                               pings in a row of a board it stops and exits with 3, so\n"
    "                               that a restart finds the board again\n"
    "    health checks before each ping, all optional, the first four repeatable; while\n"
    "    one fails, after --grace N failed rounds in a row (default 0), no board is pinged\n"
    "    and the armed watchdogs reset the machine unless the checks pass again first:\n"
    "    --check CMD                a command (split at blanks, no shell) must exit 0 within\n"
    "                               --check-timeout MS (default: half the interval); it runs\n"
    "                               in the background and is killed at the limit\n"
    "    --check-shell CMD          the same, run by /bin/sh -c\n"
    "    --pidfile FILE             the process whose pid FILE holds must be running\n"
    "    --heartbeat FILE:N         FILE must have changed within the last N seconds\n"
    "    --min-memory MIB           MemAvailable must be at least MIB MiB\n"
    "    --max-load L               the 1-minute load average must not exceed L\n"
    "  vpd FILE --type T            decode a raw VPD image (types 2, 4, 8, 22)\n"
    "\n"
    "options:\n"
    "  --debug                      log one line per command to /var/log/tolma/snl.log\n"
    "  -h, --help                   this text\n"
    "  --version                    the version of snlctl\n"
    "\n"
    "Loading the library resets and claims boards, so only the board commands load it (not\n"
    "--help, vpd or a bad command line). A command for board N opens board N alone, and\n"
    "takes turns with the other commands for N through /run/snl/board<N>.lock; list opens\n"
    "every board and waits for all of them. A command waits up to 30 s for another one, and\n"
    "refuses to run while a keepalive holds its board: keepalives of different boards, and\n"
    "commands for the other boards, run side by side (they load the library one at a\n"
    "time, through /run/snl/load.lock).\n"
    "\n"
    "exit status: 0 done, 1 the board or the image said no, 2 bad arguments or input,\n"
    "3 keepalive lost a board, 4 the boards are in use by another snlctl\n";

void ExpectArgs(const Args& a, size_t n, const char* form) {
  if (a.size() != n) throw UsageError(std::string("usage: snlctl ") + form);
}

// Pulls "--name VALUE" out of args; returns false when absent.
bool TakeOption(Args& args, const char* name, std::string* value) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
    *value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return true;
  }
  return false;
}

bool TakeFlag(Args& args, const char* name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      args.erase(args.begin() + static_cast<long>(i));
      return true;
    }
  }
  return false;
}

void RejectStrayOptions(const Args& args) {
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9'))
      throw UsageError("unknown option '" + a + "'");
}

// "0" or "0,1".
std::vector<int> ParseBoardList(const std::string& text) {
  std::vector<int> boards;
  for (size_t start = 0;;) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma - start);
    const int board = ParseBoardIndex(item);
    for (int seen : boards)
      if (seen == board) throw UsageError("board " + item + " named twice");
    boards.push_back(board);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return boards;
}

int Keepalive(Args a) {
  const char* form = "keepalive N[,N...] --interval MS [--count K] [--keep-armed]";
  KeepaliveOptions o;
  std::string interval, count;
  if (!TakeOption(a, "--interval", &interval))
    throw UsageError(std::string("usage: snlctl ") + form);
  o.intervalMs = ParseNumber(interval, 1, kMaxIntervalMs, "interval");
  if (TakeOption(a, "--count", &count)) o.count = ParseNumber(count, 1, kMaxCount, "count");
  o.keepArmed = TakeFlag(a, "--keep-armed");
  TakeHealthCheckOptions(&a, o.intervalMs, &o.checks);
  RejectStrayOptions(a);
  ExpectArgs(a, 2, form);
  o.boards = ParseBoardList(a[1]);
  UseBoardsFor("keepalive " + a[1], o.boards, Debug());
  return RunKeepalive(o);
}

int Vpd(Args a) {
  std::string type;
  if (!TakeOption(a, "--type", &type)) throw UsageError("usage: snlctl vpd FILE --type T");
  long t = ParseNumber(type, LONG_MIN, LONG_MAX, "VPD type");
  RejectStrayOptions(a);
  ExpectArgs(a, 2, "vpd FILE --type T");
  return DumpVpdFile(a[1], t);
}

// The library is loaded for board alone (others may be kept alive by other processes).
int OnBoard(const Args& a, size_t args, const char* form, int (*command)(const Args&, int)) {
  RejectStrayOptions(a);
  ExpectArgs(a, args, form);
  const int board = ParseBoardIndex(a[1]);
  UseBoardsFor(a[0] + " " + a[1], {board}, Debug());
  return command(a, board);
}

int Dispatch(const Args& a) {
  const std::string& cmd = a[0];
  if (cmd == "list") {
    RejectStrayOptions(a);
    ExpectArgs(a, 1, "list");
    UseBoardsFor(cmd, {}, Debug());
    return ListBoards();
  }
  if (cmd == "status")
    return OnBoard(a, 2, "status N", [](const Args&, int b) { return ShowStatus(b); });
  if (cmd == "ping")
    return OnBoard(a, 2, "ping N", [](const Args&, int b) { return PingBoard(b); });
  if (cmd == "start")
    return OnBoard(a, 2, "start N", [](const Args&, int b) { return StartBoard(b); });
  if (cmd == "stop")
    return OnBoard(a, 2, "stop N", [](const Args&, int b) { return StopBoard(b); });
  if (cmd == "configure") {
    return OnBoard(a, 4, "configure N TIME LINKS", [](const Args& args, int board) {
      auto time = static_cast<unsigned char>(ParseNumber(args[2], 0, 255, "time"));
      auto links = static_cast<unsigned char>(ParseNumber(args[3], 0, 255, "links"));
      return ConfigureBoard(board, time, links);
    });
  }
  if (cmd == "keepalive") return Keepalive(a);
  if (cmd == "vpd") return Vpd(a);
  throw UsageError("unknown command '" + cmd + "' (try snlctl --help)");
}

int Run(Args args) {
  if (TakeFlag(args, "--help") || TakeFlag(args, "-h")) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (TakeFlag(args, "--version")) {
    std::printf("snlctl %s\n", SNL_VERSION);
    return kExitOk;
  }
  // Turned on once the library is loaded, by the first command that needs the boards.
  g_debug = TakeFlag(args, "--debug");
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return Dispatch(args);
}

}  // namespace
}  // namespace snlctl

int main(int argc, char** argv) {
  // Descriptors 0 to 2 closed by whoever started snlctl are taken by /dev/null first: otherwise
  // the board locks, a board's device file or the library's log would get them, and everything
  // printed would be written into those files. freopen keeps each stream on its own number;
  // "r+" never creates a /dev/null that is missing.
  for (FILE* stream : {stdin, stdout, stderr}) {
    // Without even /dev/null, the stream stays closed: its writes just fail.
    if (fcntl(fileno(stream), F_GETFD) < 0 && std::freopen("/dev/null", "r+", stream) == nullptr)
      continue;
  }
  // Line-buffered even into a pipe or the journal, so progress shows as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // An output that went away (| head, a closed terminal) must not kill a command between its
  // transfers, least of all a keepalive before it stops the watchdog: writes just fail.
  signal(SIGPIPE, SIG_IGN);
  try {
    return snlctl::Run(snlctl::Args(argv + 1, argv + argc));
  } catch (const snlctl::UsageError& e) {
    std::fprintf(stderr, "snlctl: %s\n", e.what());
    return snlctl::kExitUsage;
  } catch (const snlctl::BoardsBusy& e) {
    std::fprintf(stderr, "snlctl: %s\n", e.what());
    return snlctl::kExitBusy;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snlctl: %s\n", snlctl::ToUtf8(e.what()).c_str());
    return snlctl::kExitFailed;
  }
}
