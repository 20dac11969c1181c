#include "tools/snllogd/Options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace snllogd {

const char kUsageLine[] =
    "usage: snllogd [--listen ADDRESS] [--port PORT] [--dir NAME] [--allow CIDR]...\n"
    "               [--allow-control CIDR]... [--syslog | --journal] [--max-clients N]\n"
    "               [--max-files N] [--timeout SECONDS] | --help | --version\n";

const char kHelpText[] =
    "snllogd: the log server of libsnl's remote logging.\n"
    "\n"
    "Writes the lines each client process sends to\n"
    "/var/log/tolma/<NAME>/<client address>/<writer>.log, one line per record (control bytes\n"
    "and embedded line ends escaped as \\xHH), and pushes this machine's klog.cfg filter to every\n"
    "client: on connection, when the file changes, on SIGHUP and on a client's \"reload\".\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS     IPv4 or IPv6 address to listen on (default 127.0.0.1; 0.0.0.0 or ::\n"
    "                       for every interface)\n"
    "  --port PORT          TCP port (default 14110)\n"
    "  --dir NAME           directory under /var/log/tolma for the clients' logs (default\n"
    "                       \"remote\"; letters, digits, '.', '_', '-')\n"
    "  --allow CIDR         accept connections only from this network (10.1.0.0/16, fd00::/8, a\n"
    "                       single address); repeatable; default: every peer\n"
    "  --allow-control CIDR also obey \"reload\" and \"config_reload\" requests from this network;\n"
    "                       repeatable; by default only this machine's processes (loopback) may\n"
    "                       make them\n"
    "  --syslog             also send each line to the system log, tagged with its writer's name\n"
    "  --journal            also send each line to the systemd journal with its fields\n"
    "                       (SYSLOG_IDENTIFIER, PRIORITY, SNLLOGD_CLIENT, SNLLOGD_TIME)\n"
    "  --max-clients N      connections served at once (default 1000); more wait to be accepted\n"
    "  --max-files N        log files held open at once (default 128)\n"
    "  --timeout SECONDS    close a connection that leaves a record incomplete or does not read\n"
    "                       what is pushed to it for this long (default 30)\n"
    "  --help               this text\n"
    "  --version            the version\n"
    "\n"
    "Signals: SIGHUP reads klog.cfg again and pushes its filter; SIGTERM and SIGINT end the\n"
    "server after it has written what it has read. Exit status: 0 ended by a signal, 1 cannot\n"
    "listen or start, 2 bad arguments.\n";

std::string SafeName(const std::string& name) {
  std::string safe;
  for (char c : name) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-';
    safe += keep ? c : '_';
  }
  safe.erase(0, safe.find_first_not_of('.'));
  // A file name may have 255 bytes, ".log" included.
  if (safe.size() > kMaxNameLength) safe.resize(kMaxNameLength);
  return safe.empty() ? "unnamed" : safe;
}

namespace {

unsigned ParseUnsigned(const std::string& option, const char* text, unsigned min, unsigned max) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value < min || value > max) {
    throw UsageError(option + " wants a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  }
  return static_cast<unsigned>(value);
}

AddressRange ParseRange(const std::string& option, const char* text) {
  AddressRange range;
  if (!AddressRange::Parse(text, range))
    throw UsageError(option + " wants a network such as 10.1.0.0/16, not \"" + text + "\"");
  return range;
}

}  // namespace

Action ParseArguments(int argc, const char* const* argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Action::kHelp;
    if (arg == "--version") return Action::kVersion;
    if (arg == "--syslog") {
      options.syslog = true;
      continue;
    }
    if (arg == "--journal") {
      options.journal = true;
      continue;
    }
    static const char* const kWithValue[] = {"--listen",    "--port",      "--dir",
                                             "--allow",     "--allow-control", "--max-clients",
                                             "--max-files", "--timeout"};
    bool known = false;
    for (const char* name : kWithValue) known = known || arg == name;
    if (!known) throw UsageError("unknown argument \"" + arg + "\"");
    if (i + 1 >= argc) throw UsageError(arg + " needs a value");
    const char* value = argv[++i];
    if (arg == "--listen") {
      unsigned char probe[16];
      if (inet_pton(AF_INET, value, probe) != 1 && inet_pton(AF_INET6, value, probe) != 1)
        throw UsageError("--listen wants an IPv4 or IPv6 address, not \"" + std::string(value) +
                         "\"");
      options.listen = value;
    } else if (arg == "--port") {
      options.port = static_cast<uint16_t>(ParseUnsigned(arg, value, 1, 65535));
    } else if (arg == "--dir") {
      if (SafeName(value) != value)
        throw UsageError("--dir wants a plain name of letters, digits, '.', '_' and '-', not \"" +
                         std::string(value) + "\"");
      options.dir = value;
    } else if (arg == "--allow") {
      options.allow.push_back(ParseRange(arg, value));
    } else if (arg == "--allow-control") {
      options.control.push_back(ParseRange(arg, value));
    } else if (arg == "--max-clients") {
      options.maxClients = ParseUnsigned(arg, value, 1, 100000);
    } else if (arg == "--max-files") {
      options.maxFiles = ParseUnsigned(arg, value, 1, 10000);
    } else {
      options.timeoutSeconds = ParseUnsigned(arg, value, 1, 86400);
    }
  }
  if (options.syslog && options.journal)
    throw UsageError("--syslog and --journal together would log every line twice; choose one");
  return Action::kRun;
}

}  // namespace snllogd
