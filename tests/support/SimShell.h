#pragma once

// Shell scripts inside snlsim. snlsim starts its command with the sanitizer runtime of a
// sanitized build and umockdev's preload library in LD_PRELOAD; an uninstrumented shell crashes
// with the thread sanitizer's runtime preloaded. A script therefore runs with LD_PRELOAD removed
// (SimShell), and the programs it starts get it back (SimProgram).

#include <dlfcn.h>

#include <string>
#include <vector>

namespace snltest {

// What snlsim puts into LD_PRELOAD: the sanitizer runtime this process runs with, if any, then
// umockdev's preload library.
inline std::string SimPreload() {
  std::string preload;
  for (const char* symbol : {"__asan_init", "__tsan_init"}) {
    void* address = dlsym(RTLD_DEFAULT, symbol);
    Dl_info info;
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr)
      return std::string(info.dli_fname) + ":libumockdev-preload.so.0";
  }
  return "libumockdev-preload.so.0";
}

// A command line (for a script inside snlsim) that runs program with snlsim's preload.
inline std::string SimProgram(const std::string& program) {
  return "env LD_PRELOAD=" + SimPreload() + " " + program;
}

// The argv prefix that runs a script inside snlsim without the preload: "env -u LD_PRELOAD".
inline std::vector<std::string> SimShell() { return {"env", "-u", "LD_PRELOAD"}; }

}  // namespace snltest
