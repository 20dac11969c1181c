// Minimal stand-in for the logging system: writes the exact line format to
// /var/log/tolma/<module>.log and copies error, warning and info lines to messages.log.
#include "DOdudo/KLogger.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace {
std::mutex& WriteLock() {
  static std::mutex lock;
  return lock;
}

void AppendLine(const std::string& file, const std::string& line) {
  mkdir("/var/log/tolma", 0755);
  std::string path = "/var/log/tolma/" + file + ".log";
  if (FILE* f = fopen(path.c_str(), "a")) {
    fputs(line.c_str(), f);
    fclose(f);
  }
}
}  // namespace

KLogger::KLogger(KLogSource source, int option, const char* name, const char* module, int flags,
                 bool lazyTraceFlush)
    : name_(name ? name : ""),
      module_(module ? module : "klog"),
      showName_((flags & 0x10) != 0),
      lazyTraceFlush_(lazyTraceFlush),
      source_(source),
      option_(static_cast<unsigned int>(option)) {}

KLogger::~KLogger() = default;

void KLogger::vLog(KLogLevel level, const char* format, va_list args) {
  if (level < 0 || level > 4) level = klogError;
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm t{};
  localtime_r(&tv.tv_sec, &t);
  char header[128];
  snprintf(header, sizeof header, "%c|%02d/%02d/%04d %02d:%02d:%02d.%03d", "EWINT"[level],
           t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
           static_cast<int>(tv.tv_usec / 1000));
  std::string line = header;
  if (showName_) {
    char column[32];
    snprintf(column, sizeof column, "|%-8s", name_.c_str());
    line += column;
  }
  char body[20480];
  vsnprintf(body, sizeof body, format, args);
  line += "| ";
  line += body;
  std::lock_guard<std::mutex> guard(WriteLock());
  AppendLine(module_, line + "\n");
  if (level <= klogInfo) AppendLine("messages", line + " (" + module_ + ")\n");
}

void KLogger::Log(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vLog(level, format, args);
  va_end(args);
}

#define KLOGGER_LEVEL_FN(fn, level)        \
  void KLogger::fn(const char* format, ...) { \
    va_list args;                            \
    va_start(args, format);                  \
    vLog(level, format, args);               \
    va_end(args);                            \
  }
KLOGGER_LEVEL_FN(Trace, klogTrace)
KLOGGER_LEVEL_FN(Info, klogInfo)
KLOGGER_LEVEL_FN(Notice, klogNotice)
KLOGGER_LEVEL_FN(Warning, klogWarning)
KLOGGER_LEVEL_FN(Error, klogError)
#undef KLOGGER_LEVEL_FN
