#pragma once

#include <cstdarg>
#include <string>

#include "DOdudo/host/KExport.h"

// A report of logging used after the logging system has ended. Built on the stack: the
// constructor starts the report (banner, time, pid, program), Log adds tab-indented lines, and
// the destructor appends the report to crash.log in the log directory, or sends it to syslog at
// error priority when crash.log cannot be opened. Never throws; one object per thread.
class DODUDO_API KCrashLogger {
 public:
  KCrashLogger();
  ~KCrashLogger();
  KCrashLogger(const KCrashLogger&) = delete;
  KCrashLogger& operator=(const KCrashLogger&) = delete;

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vLog(const char* format, va_list args);

 private:
  std::string text;
};
