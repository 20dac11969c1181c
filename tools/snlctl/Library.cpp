#include "tools/snlctl/Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "tools/snlctl/BoardLock.h"

namespace snlctl {

namespace {

constexpr const char* kLibrary = "libsnl.so.1";

std::string g_command = "command";
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
  if (function == nullptr)
    throw std::runtime_error(std::string(kLibrary) + " has no " + name);
}

}  // namespace

void UseBoardsFor(const std::string& command, bool debug) {
  g_command = command;
  g_debug = debug;
}

const SnlFunctions& Boards() {
  if (g_loaded) return g_functions;
  if (!g_lock) g_lock = std::make_unique<BoardLock>(g_command);
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
  g_loaded = true;
  return g_functions;
}

}  // namespace snlctl
