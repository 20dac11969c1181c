#pragma once

#include <cstdarg>
#include <string>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/host/KExport.h"

// The object every component logs through. A logger has a source, an option mask, a short name
// and a module name; the module selects the log file (/var/log/tolma/<module>.log) shared by all
// loggers of that module. Loggers never throw because of a write failure. Safe to use from any
// thread.
class DODUDO_API KLogger {
 public:
  KLogger(KLogSource source, int option, const char* name, const char* module, int flags,
          bool lazyTraceFlush);
  ~KLogger();
  KLogger(const KLogger&) = delete;
  KLogger& operator=(const KLogger&) = delete;

  void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vLog(KLogLevel level, const char* format, va_list args);
  void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Notice(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::string name_;
  std::string module_;
  bool showName_;
  bool lazyTraceFlush_;
  KLogSource source_;
  unsigned int option_;
};
