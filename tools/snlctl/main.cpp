// snlctl: operate USB watchdog boards through libsnl from the shell.
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "snl/snl.h"
#include "tools/snlctl/Cli.h"
#include "tools/snlctl/Commands.h"
#include "tools/snlctl/Keepalive.h"
#include "tools/snlctl/VpdDump.h"

namespace snlctl {
namespace {

using Args = std::vector<std::string>;

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
    "  keepalive N --interval MS [--count K] [--keep-armed]\n"
    "                               start board N, then ping it every MS milliseconds until\n"
    "                               SIGINT/SIGTERM or K pings; stops the watchdog at the end\n"
    "                               unless --keep-armed\n"
    "  vpd FILE --type T            decode a raw VPD image (types 2, 4, 8, 22)\n"
    "\n"
    "options:\n"
    "  --debug                      log one line per command to /var/log/tolma/snl.log\n"
    "  -h, --help                   this text\n"
    "\n"
    "exit status: 0 done, 1 the board or the image said no, 2 bad arguments or input\n";

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

int Keepalive(Args a) {
  const char* form = "keepalive N --interval MS [--count K] [--keep-armed]";
  KeepaliveOptions o;
  std::string interval, count;
  if (!TakeOption(a, "--interval", &interval)) throw UsageError(std::string("usage: snlctl ") + form);
  o.intervalMs = ParseNumber(interval, 1, kMaxIntervalMs, "interval");
  if (TakeOption(a, "--count", &count)) o.count = ParseNumber(count, 1, kMaxCount, "count");
  o.keepArmed = TakeFlag(a, "--keep-armed");
  RejectStrayOptions(a);
  ExpectArgs(a, 2, form);
  o.board = ParseBoardIndex(a[1]);
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

int OnBoard(const Args& a, const char* form, int (*command)(int)) {
  RejectStrayOptions(a);
  ExpectArgs(a, 2, form);
  return command(ParseBoardIndex(a[1]));
}

int Dispatch(const Args& a) {
  const std::string& cmd = a[0];
  if (cmd == "list") {
    RejectStrayOptions(a);
    ExpectArgs(a, 1, "list");
    return ListBoards();
  }
  if (cmd == "status") return OnBoard(a, "status N", ShowStatus);
  if (cmd == "ping") return OnBoard(a, "ping N", PingBoard);
  if (cmd == "start") return OnBoard(a, "start N", StartBoard);
  if (cmd == "stop") return OnBoard(a, "stop N", StopBoard);
  if (cmd == "configure") {
    RejectStrayOptions(a);
    ExpectArgs(a, 4, "configure N TIME LINKS");
    auto time = static_cast<unsigned char>(ParseNumber(a[2], 0, 255, "time"));
    auto links = static_cast<unsigned char>(ParseNumber(a[3], 0, 255, "links"));
    return ConfigureBoard(ParseBoardIndex(a[1]), time, links);
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
  if (TakeFlag(args, "--debug")) snlDebugLog(1);
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return Dispatch(args);
}

}  // namespace
}  // namespace snlctl

int main(int argc, char** argv) {
  // Line-buffered even into a pipe or the journal, so progress shows as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    return snlctl::Run(snlctl::Args(argv + 1, argv + argc));
  } catch (const snlctl::UsageError& e) {
    std::fprintf(stderr, "snlctl: %s\n", e.what());
    return snlctl::kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "snlctl: %s\n", snlctl::ToUtf8(e.what()).c_str());
    return snlctl::kExitFailed;
  }
}
