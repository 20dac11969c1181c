#include "DOdudo/KLogPlatform.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace klogdetail {

LocalTime Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm t{};
  time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &t);
  return LocalTime{t.tm_year + 1900,
                   t.tm_mon + 1,
                   t.tm_mday,
                   t.tm_hour,
                   t.tm_min,
                   t.tm_sec,
                   static_cast<int>(tv.tv_usec / 1000)};
}

unsigned int UnixTime() { return static_cast<unsigned int>(time(nullptr)); }

int ProcessId() { return static_cast<int>(getpid()); }

int KernelThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

bool ExeName(char* buffer, int size, bool fullPath) {
  if (buffer == nullptr || size <= 1) return false;
  char link[64];
  snprintf(link, sizeof link, "/proc/%i/exe", ProcessId());
  ssize_t n = readlink(link, buffer, static_cast<size_t>(size - 1));
  if (n < 0) return false;
  buffer[n] = '\0';
  if (fullPath || n == 0) return true;
  if (buffer[n - 1] == '/') return false;
  const char* slash = strrchr(buffer, '/');
  if (slash != nullptr) memmove(buffer, slash + 1, strlen(slash + 1) + 1);
  return true;
}

bool MakeDirectory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (mkdir(path.substr(0, pos).c_str(), 0777) != 0 && errno != EEXIST) return true;
  }
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return true;
  return false;
}

std::string UniquifyFilename(const std::string& path) {
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  size_t insertAt =
      (dot == std::string::npos || (slash != std::string::npos && dot < slash)) ? path.size() : dot;
  std::string candidate = path;
  for (int n = 1; n <= 100; ++n) {
    if (access(candidate.c_str(), F_OK) != 0) return candidate;
    candidate = path.substr(0, insertAt) + "." + std::to_string(n) + path.substr(insertAt);
  }
  return UniquifyFilename(path.substr(0, insertAt) + "." + std::to_string(UnixTime()) +
                          path.substr(insertAt));
}

const char* WorkDirectory() { return "/etc/tolma/"; }

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

Mutex::Mutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

}  // namespace klogdetail
