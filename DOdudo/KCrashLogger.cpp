#include "DOdudo/KCrashLogger.h"

#include <unistd.h>

#include <cstdio>

#include "DOdudo/KLogDirectory.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/SysLog.h"

KCrashLogger::KCrashLogger() : text("\n\n***** Tolma application error *****\n") {
  dodudo::time::KSystemTime t = klogdetail::LocalNow();
  klogdetail::AppendFormat(text, "%02d/%02d/%04d - %02d:%02d:%02d.%03d\n", t.day, t.month, t.year,
                           t.hour, t.minute, t.second, t.milliseconds);
  klogdetail::AppendFormat(text, "PID: %d\n", KHostSystem::GetCurrentProcId());
  char exe[1024];
  if (!KHostSystem::GetExeName(exe, 1020, false)) exe[0] = '\0';
  klogdetail::AppendFormat(text, "Program: %s\n", exe);
  text += "Message:\n";
}

KCrashLogger::~KCrashLogger() {
  // Appended in one write, never through a link planted in the log directory.
  int fd = klogdetail::OpenLogFileAt(klogdetail::LogDirectoryFd(), klogdetail::LogDirectoryMode(),
                                     "crash.log");
  bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  if (!written) SysLog(klogError, text.c_str());
}

void KCrashLogger::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vLog(format, args);
  va_end(args);
}

void KCrashLogger::vLog(const char* format, va_list args) {
  text += "\t";
  klogdetail::AppendVFormat(text, format, args);
  text += "\n";
}
