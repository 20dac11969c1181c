// snllogd: the log server of the toolkit's remote logging (snllogd --help, man snllogd).
//
// Listens on 127.0.0.1:14110 by default. Every client process whose klog.cfg names this server
// (RemoteLogHost, RemoteLogPort) has its lines written to /var/log/tolma/<NAME>/<address>/
// <writer>.log (NAME defaults to "remote"); with --syslog or --journal each line also goes to the
// system's log. Local processes that only keep the reload link get the filter of this machine's
// klog.cfg, pushed again when the file changes or on SIGHUP. SIGTERM and SIGINT end the server.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "DOdudo/KRemoteLogSpecs.h"
#include "tools/snllogd/LogServer.h"
#include "tools/snllogd/Options.h"

namespace {

volatile int g_stop = 0;
volatile int g_reload = 0;
int g_wake[2] = {-1, -1};

void OnSignal(int signal) {
  int saved = errno;
  if (signal == SIGHUP) {
    g_reload = 1;
  } else {
    g_stop = 1;
  }
  if (write(g_wake[1], "x", 1) < 0) {
  }
  errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
  snllogd::Options options;
  try {
    switch (snllogd::ParseArguments(argc, argv, options)) {
      case snllogd::Action::kHelp:
        fputs(snllogd::kUsageLine, stdout);
        fputs("\n", stdout);
        fputs(snllogd::kHelpText, stdout);
        return 0;
      case snllogd::Action::kVersion:
        printf("snllogd %s\n", SNL_VERSION);
        return 0;
      case snllogd::Action::kRun:
        break;
    }
  } catch (const snllogd::UsageError& e) {
    fprintf(stderr, "snllogd: %s\n%s", e.what(), snllogd::kUsageLine);
    return 2;
  }
  // A log server that would ship its own lines to a log server makes a loop.
  dodudo::KRemoteLogSpecs::Instance().LoadValues();
  if (!dodudo::KRemoteLogSpecs::Instance().Host().empty()) {
    fprintf(stderr,
            "snllogd: klog.cfg names a log server (RemoteLogHost); a log server logs "
            "locally\n");
    return 1;
  }
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("snllogd: pipe");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaction(signal, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  snllogd::LogServer server(options);
  try {
    server.Open();
  } catch (const std::exception& e) {
    fprintf(stderr, "snllogd: cannot listen on %s:%u: %s\n", options.listen.c_str(),
            static_cast<unsigned>(options.port), e.what());
    return 1;
  }
  printf("snllogd: listening on %s:%u\n", options.listen.c_str(),
         static_cast<unsigned>(options.port));
  fflush(stdout);
  server.Run(g_stop, g_reload, g_wake[0]);
  return 0;
}
