#pragma once

// Scripts inside snlsim. snlsim starts its command with a sanitized build's runtime and umockdev's
// library in LD_PRELOAD, which an uninstrumented shell cannot carry (the thread sanitizer's
// crashes it): a script runs under "env -u LD_PRELOAD", the programs it starts under SimProgram.

#include <dlfcn.h>

#include <string>

namespace snltest {

// "env LD_PRELOAD=<what snlsim preloads> program".
inline std::string SimProgram(const std::string& program) {
  std::string preload = "libumockdev-preload.so.0";
  for (const char* symbol : {"__asan_init", "__tsan_init"}) {
    Dl_info info;
    void* address = dlsym(RTLD_DEFAULT, symbol);
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr)
      preload = std::string(info.dli_fname) + ":" + preload;
  }
  return "env LD_PRELOAD=" + preload + " " + program;
}

}  // namespace snltest
