#pragma once

#include <cstdarg>
#include <string>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/host/KString.h"

class KLogWriter;
class KLogger;

// Assembles one log line on the caller's stack and hands it to the writer when committed (at the
// latest by the destructor). The header (level character, local date and time, optional name
// column) is computed at commit; error, warning and info lines are then also copied to the
// process-wide "messages" writer followed by " (<writer name>)". The writer's lock is held only
// around its write and flush, the messages writer's lock only around the copy: the two are never
// held together. Private to one thread; never throws.
class DODUDO_API KLogBuilder {
 public:
  KLogBuilder() = default;
  ~KLogBuilder();
  KLogBuilder(const KLogBuilder&) = delete;
  KLogBuilder& operator=(const KLogBuilder&) = delete;

  // Starts a line for `writer`; `logger` may be null (lines of the log system itself).
  void Constructor(KLogWriter* writer, KLogger* logger, bool binaryMode);
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vLog(const char* format, va_list args);
  void NewLine(bool commit);
  void Commit();
  dodudo::kstring GetHeader() const;

  KLogWriter* writer = nullptr;
  KLogLevel level = klogTrace;
  bool active = false;
  bool binaryMode = false;
  KLogger* logger = nullptr;
  dodudo::kstring text;

};
