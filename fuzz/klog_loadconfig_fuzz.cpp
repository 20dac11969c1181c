// Arbitrary klog.cfg contents loaded into a log filter. LoadConfig reads the one fixed path
// /etc/tolma//config/klog.cfg, so the harness first moves into a private mount namespace with an
// overlay on /etc (as the test main does) and never touches the real configuration.
#include <sched.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "DOdudo/KLogFilter.h"

namespace {

bool Isolate() {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  mkdir("/tmp/snl_fuzz_klog", 0755);
  if (mount("tmpfs", "/tmp/snl_fuzz_klog", "tmpfs", 0, "mode=0755") != 0) return false;
  if (mkdir("/tmp/snl_fuzz_klog/upper", 0755) != 0 || mkdir("/tmp/snl_fuzz_klog/work", 0755) != 0)
    return false;
  if (mount("overlay", "/etc", "overlay", 0,
            "lowerdir=/etc,upperdir=/tmp/snl_fuzz_klog/upper,workdir=/tmp/snl_fuzz_klog/work") != 0)
    return false;
  struct stat st;
  if (stat("/etc/tolma", &st) == 0) {
    if (mount("tmpfs", "/etc/tolma", "tmpfs", 0, "mode=0755") != 0) return false;
  } else if (mkdir("/etc/tolma", 0755) != 0) {
    return false;
  }
  return mkdir("/etc/tolma/config", 0755) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!Isolate()) {
    fprintf(stderr, "klog_loadconfig: needs root for a private mount namespace\n");
    abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // Remote-log settings, once read, are kept for the process and make LoadConfig return at once;
  // keep them out so that every input reaches the option sections.
  for (size_t i = 0; i + 9 <= text.size(); ++i) {
    if (strncasecmp(text.c_str() + i, "RemoteLog", 9) == 0) text[i] = 'X';
  }
  FILE* file = fopen("/etc/tolma/config/klog.cfg", "w");
  if (file == nullptr) abort();
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
  KLogFilter filter;
  try {
    filter.LoadConfig();
  } catch (const std::exception&) {
    return 0;
  }
  // Source 0 is never read and stays on; every decision is answerable.
  if (!filter.IsActive(klogTrace, klogSystem, 1)) abort();
  for (unsigned int source = 0; source < 29; ++source) {
    filter.IsActive(klogTrace, static_cast<KLogSource>(source), 0xFFFFFFFFu);
    filter.GetConfig(static_cast<KLogSource>(source));
  }
  return 0;
}
