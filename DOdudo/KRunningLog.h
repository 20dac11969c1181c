#pragma once

#include "DOdudo/KLogDefs.h"

// The toolkit's thread-start log: <executable>.running.log in the log directory, written through
// one process-wide logger ("DIRUZED", source System, name column) that is created on first use
// and lives until the process ends. Its lines carry "|PID=%05d LWP=%05d TRD=%10u| " (process,
// kernel thread and pthread ids). Callable from any thread.
class DODUDO_API KRunningLog {
 public:
  static void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Records that a toolkit thread started; the thread's first call.
DODUDO_API void _NotifyThreadInit(const char* file, const char* function, int line);
