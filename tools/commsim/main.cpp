// commsim: a reference comm server for tests and demonstrations. See the usage text below.
#include <signal.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/commsim/Server.h"

namespace {

const char kUsage[] =
    "usage: commsim [options]\n"
    "A reference comm server: prints \"listening ADDRESS:PORT\", then \"connected ID\" for each\n"
    "client, until SIGINT or SIGTERM. Log lines go to /var/log/tolma/commsim.log.\n"
    "\n"
    "options:\n"
    "  --host A            IPv4 address to listen on (127.0.0.1)\n"
    "  --port N            TCP port (14200; 0 picks a free one)\n"
    "  --service ID        service id in the hello: Z7MS, DVXP, TVMH, \"Z7M \" or a number\n"
    "  --hello-version M.m.b\n"
    "                      version in the hello (1.0.0; also --version M.m.b)\n"
    "  --hello-code C      greet with message C instead of HELLOV2 (11)\n"
    "  --silent            never send a hello\n"
    "  --delay MS          answer every command and query MS late\n"
    "  --no-replies        never answer commands and queries\n"
    "  --drop-after N      close each connection after N envelopes\n"
    "  --ignore-keepalives leave keep-alive probes unanswered\n"
    "  --tick MS           push a TICK event to broadcast clients every MS\n"
    "  --idle-timeout MS   probe a client silent for MS, close it when the probe goes\n"
    "                      unanswered; close unfinished handshakes and clients that\n"
    "                      take no data after MS (30000)\n"
    "  --quiet             no trace lines in commsim.log, whatever klog.cfg says\n"
    "  -h, --help          this text\n"
    "  --version           the version of commsim\n"
    "\n"
    "Commands of module 20: 1 ECHO, 2 FAIL, 3 PUSH g events, 4 SLEEP g ms, 5 DROP.\n"
    "Queries (COMM 7) are answered with \"re: \" and the question.\n"
    "\n"
    "exit status: 0 stopped by a signal, 1 cannot listen, 2 bad arguments\n";

// What the command line asked for besides serving.
enum class Request { kServe, kHelp, kVersion };

// The argument that was refused, for the error message.
std::string g_badArgument;

bool IsVersionNumber(const char* text) {
  unsigned int major = 0, minor = 0, build = 0;
  char end = 0;
  return text != nullptr && std::sscanf(text, "%u.%u.%u%c", &major, &minor, &build, &end) == 3;
}

commsim::Server* running = nullptr;

void OnSignal(int) {
  if (running != nullptr) running->Stop();
}

bool ParseService(const std::string& text, uint32_t& service) {
  if (text.size() == 4 && !std::isdigit(static_cast<unsigned char>(text[0]))) {
    service = 0;
    for (char c : text) service = (service << 8) | static_cast<unsigned char>(c);
    return true;
  }
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  service = static_cast<uint32_t>(parsed);
  return !text.empty() && *end == '\0' && parsed <= 0xFFFFFFFFull;
}

bool ParseUnsigned(const char* text, unsigned int& value) {
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text, &end, 10);
  value = static_cast<unsigned int>(parsed);
  return *text != '\0' && *end == '\0' && parsed <= 0xFFFFFFFFull;
}

bool Parse(int argc, char** argv, commsim::Options& options, Request& request) {
  for (int n = 1; n < argc; ++n) {
    std::string arg = argv[n];
    const char* value = n + 1 < argc ? argv[n + 1] : nullptr;
    unsigned int number = 0;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      request = Request::kHelp;
      continue;
    } else if (arg == "--version" && !IsVersionNumber(value)) {
      // --version M.m.b is the older spelling of --hello-version.
      request = Request::kVersion;
      continue;
    } else if (arg == "--quiet") {
      options.quiet = true;
      continue;
    } else if (arg == "--silent") {
      options.silent = true;
      continue;
    } else if (arg == "--no-replies") {
      options.noReplies = true;
      continue;
    } else if (arg == "--ignore-keepalives") {
      options.ignoreKeepAlives = true;
      continue;
    }
    static const char* const kValued[] = {"--host",  "--port",       "--service",
                                          "--version", "--hello-version", "--hello-code",
                                          "--delay", "--drop-after",   "--tick", "--idle-timeout"};
    bool valued = false;
    for (const char* name : kValued) valued = valued || arg == name;
    if (!valued) {
      g_badArgument = "unknown argument '" + arg + "'";
      return false;
    }
    if (value == nullptr) {
      g_badArgument = arg + " needs a value";
      return false;
    }
    ++n;
    if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      ok = ParseUnsigned(value, options.port) && options.port <= 65535;
    } else if (arg == "--service") {
      ok = ParseService(value, options.hello.ServiceId);
    } else if (arg == "--hello-version" || arg == "--version") {
      ok = IsVersionNumber(value) && std::sscanf(value, "%u.%u.%u", &options.hello.Major, &options.hello.Minor,
                       &options.hello.Build) == 3;
    } else if (arg == "--hello-code") {
      ok = ParseUnsigned(value, number) && number <= 0xFFFF;
      options.helloCode = static_cast<uint16_t>(number);
    } else if (arg == "--delay") {
      ok = ParseUnsigned(value, options.delayMs);
    } else if (arg == "--drop-after") {
      ok = ParseUnsigned(value, options.dropAfter);
    } else if (arg == "--tick") {
      ok = ParseUnsigned(value, options.tickMs);
    } else if (arg == "--idle-timeout") {
      ok = ParseUnsigned(value, options.idleMs) && options.idleMs != 0;
    }
    if (!ok) {
      g_badArgument = "bad value '" + std::string(value) + "' for " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  commsim::Options options;
  Request request = Request::kServe;
  if (!Parse(argc, argv, options, request)) {
    std::fprintf(stderr, "commsim: %s (try commsim --help)\n", g_badArgument.c_str());
    return 2;
  }
  if (request == Request::kHelp) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (request == Request::kVersion) {
    std::printf("commsim %s\n", SNL_VERSION);
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);
  commsim::Server server(options);
  if (!server.Listen()) return 1;
  if (options.quiet) KLogger::OverwriteOption(klogNetwork, 0);
  running = &server;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::printf("listening %s:%u\n", options.host.c_str(), server.Port());
  std::fflush(stdout);
  server.Run();
  running = nullptr;
  return 0;
}
