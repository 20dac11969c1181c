#include "DOdudo/KLogPlatform.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace klogdetail {

dodudo::time::KSystemTime LocalNow() {
  dodudo::time::KSystemTime now;
  KHostSystem::GetTime(&now);
  return now;
}

int KernelThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

void AppendVFormat(std::string& out, const char* format, va_list args) {
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.append(small, static_cast<size_t>(n));
    return;
  }
  size_t old = out.size();
  out.resize(old + static_cast<size_t>(n) + 1);
  vsnprintf(&out[old], static_cast<size_t>(n) + 1, format, args);
  out.resize(old + static_cast<size_t>(n));
}

void AppendFormat(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  AppendVFormat(out, format, args);
  va_end(args);
}

}  // namespace klogdetail
