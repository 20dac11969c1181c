#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/snllogd/AddressRange.h"

namespace snllogd {

struct Options {
  std::string listen = "127.0.0.1";
  uint16_t port = 14110;
  // Subdirectory of the log directory that receives the clients' logs, one directory per client
  // address below it: /var/log/tolma/<dir>/<address>/<writer name>.log.
  std::string dir = "remote";
  bool syslog = false;
  bool journal = false;
  // Networks that may connect at all (--allow); empty: every peer.
  std::vector<AddressRange> allow;
  // Networks whose "reload" and "config_reload" requests are obeyed besides this machine's own
  // processes (--allow-control).
  std::vector<AddressRange> control;
  // Connections served at once; more wait in the kernel's queue until one ends.
  unsigned maxClients = 1000;
  // Log files held open at once; the least recently used one is closed to open another.
  unsigned maxFiles = 128;
  // A connection that leaves a record incomplete, or does not take what is pushed to it, for this
  // many seconds is closed.
  unsigned timeoutSeconds = 30;
};

// A bad command line: main prints "snllogd: <what>" and the usage line, and exits 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Action { kRun, kHelp, kVersion };

// Reads the command line into `options`; throws UsageError naming the argument at fault.
Action ParseArguments(int argc, const char* const* argv, Options& options);

// The full --help text, and the one usage line printed after an error.
extern const char kHelpText[];
extern const char kUsageLine[];

// A writer name from a client as a safe file name: letters, digits, '.', '_' and '-' kept, any
// other byte replaced by '_', leading dots removed, cut at kMaxNameLength bytes; "unnamed" when
// nothing is left.
constexpr size_t kMaxNameLength = 200;
std::string SafeName(const std::string& name);

}  // namespace snllogd
