#include "tools/snlctl/Library.h"

#include <dlfcn.h>

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
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
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
