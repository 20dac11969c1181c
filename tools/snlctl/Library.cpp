#include "tools/snlctl/Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "tools/snlctl/BoardLock.h"
#include "tools/snlctl/Cli.h"

namespace snlctl {

namespace {

constexpr const char* kLibrary = "libsnl.so.1";

std::string g_command = "command";
std::vector<int> g_boards;  // sorted, no repeats; empty: every board
bool g_debug = false;
// Held until the process ends: the library keeps the boards claimed until then.
std::unique_ptr<BoardLock> g_lock;
SnlFunctions g_functions{};
bool g_loaded = false;

// The library beside snlctl (SNLCTL_LIBRARY_DIRS: directories relative to snlctl's own, installed
// and in the build tree), else wherever the dynamic loader finds it.
void* LoadLibrary() {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string dir(exe, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    const std::string relative = SNLCTL_LIBRARY_DIRS;
    for (size_t start = 0; start <= relative.size();) {
      size_t end = relative.find(':', start);
      if (end == std::string::npos) end = relative.size();
      const std::string path = dir + relative.substr(start, end - start) + "/" + kLibrary;
      if (access(path.c_str(), F_OK) == 0) return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      start = end + 1;
    }
  }
  return dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
}

template <typename F>
void Bind(void* library, F& function, const char* name) {
  function = reinterpret_cast<F>(dlsym(library, name));
  if (function == nullptr) throw std::runtime_error(std::string(kLibrary) + " has no " + name);
}

std::string Join(const std::vector<int>& boards) {
  std::string text;
  for (int board : boards) text += (text.empty() ? "" : ",") + std::to_string(board);
  return text;
}

}  // namespace

void UseBoardsFor(const std::string& command, const std::vector<int>& boards, bool debug) {
  g_command = command;
  g_boards = boards;
  std::sort(g_boards.begin(), g_boards.end());
  g_boards.erase(std::unique(g_boards.begin(), g_boards.end()), g_boards.end());
  g_debug = debug;
}

const SnlFunctions& Boards() {
  if (g_loaded) return g_functions;
  if (!g_lock) g_lock = std::make_unique<BoardLock>(g_command, g_boards);
  // The library opens only the boards named (the others may be kept alive by other processes);
  // a caller's own SNL_BOARDS must not widen or narrow that.
  if (g_boards.empty())
    unsetenv("SNL_BOARDS");
  else
    setenv("SNL_BOARDS", Join(g_boards).c_str(), 1);
  // Never unloaded: the boards stay ours until the process ends.
  void* library = LoadLibrary();
  if (library == nullptr) throw std::runtime_error(std::string("cannot load ") + dlerror());
  SnlFunctions& f = g_functions;
  Bind(library, f.DevCount, "snlDevCount");
  Bind(library, f.DevSerial, "snlDevSerial");
  Bind(library, f.DevLinks, "snlDevLinks");
  Bind(library, f.StartWatch, "snlStartWatch");
  Bind(library, f.StopWatch, "snlStopWatch");
  Bind(library, f.PingWatch, "snlPingWatch");
  Bind(library, f.Status, "snlStatus");
  Bind(library, f.Configure, "snlConfigure");
  Bind(library, f.DebugLog, "snlDebugLog");
  if (g_debug) f.DebugLog(1);
  g_lock->Loaded();
  g_loaded = true;
  return g_functions;
}

int Slot(int board) {
  const int count = Boards().DevCount();
  if (g_boards.empty()) {
    if (board >= 0 && board < count) return board;
    if (count == 0) throw UsageError("no board " + std::to_string(board) + ": no board was found");
    throw UsageError("no board " + std::to_string(board) + ": " + std::to_string(count) +
                     (count == 1
                          ? " board was found (index 0)"
                          : " boards were found (indexes 0 to " + std::to_string(count - 1) + ")"));
  }
  const auto named = std::find(g_boards.begin(), g_boards.end(), board);
  if (named != g_boards.end() && static_cast<size_t>(count) == g_boards.size())
    return static_cast<int>(named - g_boards.begin());
  if (g_boards.size() == 1) {
    throw UsageError("no board " + std::to_string(board) +
                     ": it is not on the bus or could not be opened (see snlctl list and "
                     "/var/log/tolma/snl.log)");
  }
  throw UsageError("of the boards " + Join(g_boards) + " only " + std::to_string(count) +
                   " could be opened (see snlctl list and /var/log/tolma/snl.log)");
}

}  // namespace snlctl
