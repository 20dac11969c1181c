#pragma once

#include <cstdarg>
#include <string>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"
#include "DOdudo/host/KSystemTime.h"

class KLogWriter;

// The object every component logs through. A logger has a source, an option mask (-1 for the
// source as a whole), a short name and a module name; the module selects the writer (one log
// file, /var/log/tolma/<writer>.log) shared by every logger of that module. The writer belongs to
// the log manager, never to the logger.
//
// Construction flags: KLOG_EXE_PREFIX puts the executable's name before the module,
// KLOG_START_TIME and KLOG_PID append the manager's start time and the process id, KLOG_SHOW_NAME
// adds the name column to every line.
//
// The first logger of the process creates the log manager; the destruction of the last one ends
// it. After that, loggers write nothing and report the attempt to crash.log.
// Loggers never throw because of logging; every operation may be called from any thread.
class DODUDO_API KLogger {
 public:
  enum Flags {
    KLOG_EXE_PREFIX = 0x01,
    KLOG_PID = 0x02,
    KLOG_START_TIME = 0x04,
    KLOG_SHOW_NAME = 0x10,
  };

  KLogger(KLogSource source, int option, const char* name, const char* module, int flags,
          bool lazyTraceFlush);
  ~KLogger();
  KLogger(const KLogger&) = delete;
  KLogger& operator=(const KLogger&) = delete;

  bool IsActive(KLogLevel level) const;

  void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void vLog(KLogLevel level, const char* format, va_list args);
  void Log(KLogLevel level, const dodudo::kstring& text);
  void LogBinary(KLogLevel level, const dodudo::kstring& text);
  void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Notice(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Lines with a device, channel, link, DSP, call or NAI prefix ("|D1 C05| ", "|D1 PC| "...).
  void LogDev(KLogLevel level, int dev, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void vLogDev(KLogLevel level, int dev, const char* format, va_list args);
  void LogChannel(KLogLevel level, int dev, int chan, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  void LogChanAndCall(KLogLevel level, int dev, int chan, int call, const char* format, ...)
      __attribute__((format(printf, 6, 7)));
  void LogLink(KLogLevel level, int dev, int link, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  void LogLinkAndCall(KLogLevel level, unsigned int dev, unsigned int link, int call,
                      const char* format, ...) __attribute__((format(printf, 6, 7)));
  void LogDsp(KLogLevel level, int dev, int dsp, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  void LogCall(KLogLevel level, int call, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void LogNai(KLogLevel level, unsigned int nai, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void LogNaiAndCall(KLogLevel level, unsigned int nai, int call, const char* format, ...)
      __attribute__((format(printf, 5, 6)));

  const std::string& GetName() const { return name; }
  bool ShowName() const { return showName; }
  bool LazyTraceFlush() const { return lazyTraceFlush; }
  KLogSource Source() const { return source; }
  unsigned int Option() const { return option; }
  KLogWriter* Writer() const { return writer; }
  // The identity of the connection a comm component logs for; not printed in lines.
  const std::string& Identity() const { return identity; }
  void SetIdentity(const std::string& value) { identity = value; }

  // Minimum digit counts of device and channel numbers in the prefixes.
  static int LOG_DEVICE_WIDTH;
  static int LOG_CHANNEL_WIDTH;

  // Through one process-wide logger ("SYSTEM", writer "system", name column on).
  static void SystemLog(KLogLevel level, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  // The logging system's own log (klog.log).
  static void InternalLog(KLogLevel level, const char* format, ...)
      __attribute__((format(printf, 2, 3)));

  // The log directory with its trailing '/'. Fixed on first use: /var/log/tolma is created and
  // a test file written; when that fails the process ends with exit(-123).
  static std::string GetLogDirectory();
  static void GetLogDirectory(std::string& out);
  // The local time at which the log manager was created.
  static void GetStartTime(dodudo::time::KSystemTime& out);
  static void NotifyAppInitialization();
  static void NotifyAppTermination();
  static void Terminate();
  static void ReloadConfig();

  static void SetFilterConfigCallback(void (*callback)(bool remote));
  static void OverwriteOption(KLogSource source, unsigned int mask);
  static void ReleaseOverwrittenOption(KLogSource source);
  static bool IsOptionActive(KLogSource source, unsigned int option);
  static unsigned int GetConfig(KLogSource source);
  static unsigned long long MaxLogSize();
  static unsigned long long MaxTotalLogSize();

 private:
  // Writes one line: prefix (printf-formatted with the variadic arguments), then the text.
  void Emit(KLogLevel level, const char* format, va_list args, const char* prefix, ...)
      __attribute__((format(printf, 5, 6)));

  std::string name;
  std::string identity;
  KLogWriter* writer;
  bool showName;
  bool lazyTraceFlush;
  KLogSource source;
  unsigned int option;
};

// Same as KLogger::InternalLog.
DODUDO_API void myLog(KLogLevel level, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
