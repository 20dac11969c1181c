// snlsim: runs a command with emulated watchdog boards on its USB bus.
//
//   snlsim [--record FILE] SCENARIO -- COMMAND [ARGS...]
//
// The boards of SCENARIO (see Scenario.h) are put into a umockdev testbed before COMMAND starts,
// so libusb-0.1 in COMMAND finds them when it first scans. COMMAND runs under
// libumockdev-preload (after the sanitizer runtime when snlsim itself is sanitized, which must
// come first). Every request that reaches a board is written to FILE. The exit status is
// COMMAND's. SIGINT, SIGTERM and SIGHUP are passed on to COMMAND, which snlsim then waits for
// before it removes its testbed (its temporary directory), so a stopped run leaves nothing behind.
#include <dlfcn.h>
#include <glib-unix.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "EmulatedBus.h"
#include "Scenario.h"

namespace {

int Usage() {
  fprintf(stderr, "usage: snlsim [--record FILE] SCENARIO -- COMMAND [ARGS...]\n");
  return 2;
}

// The sanitizer runtime this process was linked with, if any: it must stay first in LD_PRELOAD.
std::string SanitizerRuntime() {
  for (const char* symbol : {"__asan_init", "__tsan_init"}) {
    void* address = dlsym(RTLD_DEFAULT, symbol);
    Dl_info info;
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr)
      return info.dli_fname;
  }
  return "";
}

void SetPreload() {
  std::string preload = SanitizerRuntime();
  if (!preload.empty()) preload += ":";
  preload += "libumockdev-preload.so.0";
  if (const char* old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
    preload += ":";
    preload += old;
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
#ifdef SNLSIM_PRELOAD_DIR
  // The preload of this build's architecture is not installed (the 32-bit build's is unpacked
  // beside the build). It stays a bare name in LD_PRELOAD: searched by name, the loader silently
  // skips a library of the other architecture, so every program, a 64-bit shell running a 32-bit
  // one included, loads the preload of its own; a path would be refused with a message.
  std::string path = SNLSIM_PRELOAD_DIR;
  if (const char* old = getenv("LD_LIBRARY_PATH"); old != nullptr && *old != '\0') {
    path += ":";
    path += old;
  }
  setenv("LD_LIBRARY_PATH", path.c_str(), 1);
#endif
}

struct Child {
  GMainLoop* loop;
  pid_t pid;
  int status;
};

gboolean ForwardSignal(Child* child, int signal) {
  kill(child->pid, signal);
  return G_SOURCE_CONTINUE;  // the loop ends when the child does
}
gboolean OnSigint(gpointer data) { return ForwardSignal(static_cast<Child*>(data), SIGINT); }
gboolean OnSigterm(gpointer data) { return ForwardSignal(static_cast<Child*>(data), SIGTERM); }
gboolean OnSighup(gpointer data) { return ForwardSignal(static_cast<Child*>(data), SIGHUP); }

void OnChildExit(GPid, gint status, gpointer data) {
  auto* child = static_cast<Child*>(data);
  child->status = status;
  g_main_loop_quit(child->loop);
}

}  // namespace

int main(int argc, char** argv) {
  const char* recordPath = nullptr;
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "--record") == 0) {
    recordPath = argv[i + 1];
    i += 2;
  }
  if (i + 2 >= argc || strcmp(argv[i + 1], "--") != 0) return Usage();
  const char* scenarioPath = argv[i];
  char** command = argv + i + 2;

  std::vector<BoardScenario> boards;
  try {
    boards = LoadScenario(scenarioPath);
  } catch (const std::exception& e) {
    fprintf(stderr, "snlsim: %s\n", e.what());
    return 2;
  }
  FILE* record = nullptr;
  if (recordPath != nullptr && (record = fopen(recordPath, "w")) == nullptr) {
    fprintf(stderr, "snlsim: cannot write %s: %s\n", recordPath, strerror(errno));
    return 2;
  }
  int status = 0;
  // Blocked from here on, so that a signal arriving before its handler exists is not lost: the
  // main loop's handlers receive them once it runs. The child gets the default mask back.
  sigset_t stopSignals, previous;
  sigemptyset(&stopSignals);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, sig);
  sigprocmask(SIG_BLOCK, &stopSignals, &previous);
  try {
    EmulatedBus bus(boards, record);
    SetPreload();
    Child child{g_main_loop_new(nullptr, FALSE), 0, 0};
    guint sources[] = {g_unix_signal_add(SIGINT, &OnSigint, &child),
                       g_unix_signal_add(SIGTERM, &OnSigterm, &child),
                       g_unix_signal_add(SIGHUP, &OnSighup, &child)};
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
      sigprocmask(SIG_SETMASK, &previous, nullptr);
      execvp(command[0], command);
      fprintf(stderr, "snlsim: cannot run %s: %s\n", command[0], strerror(errno));
      _exit(127);
    }
    child.pid = pid;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    // The ioctl handlers may need the default context: keep it running until the command ends.
    g_child_watch_add(pid, &OnChildExit, &child);
    g_main_loop_run(child.loop);
    for (guint source : sources) g_source_remove(source);
    g_main_loop_unref(child.loop);
    status = child.status;
  } catch (const std::exception& e) {
    fprintf(stderr, "snlsim: %s\n", e.what());
    status = 2 << 8;
  }
  if (record != nullptr) fclose(record);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
