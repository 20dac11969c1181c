#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstddef>
#include <string>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

// A sink of finished log lines. The logger front end writes one line as
//   lock GetMutex(); WriteText(line incl. its "\n"); Flush(lazy); unlock
// so a writer sees whole lines as long as every caller holds its mutex around a line. Writers are
// owned by the log manager and live until it ends; loggers only point at them. A writer handles
// its own I/O failures and never throws into the logging caller.
class DODUDO_API KLogWriter {
 public:
  KLogWriter() = default;
  virtual ~KLogWriter();
  KLogWriter(const KLogWriter&) = delete;
  KLogWriter& operator=(const KLogWriter&) = delete;

  // The writer's recursive lock, or null when the writer needs none.
  virtual pthread_mutex_t* GetMutex();
  virtual void SetBinary(bool binary);
  // Called with the day of the month before each line is written.
  virtual void CheckDay(unsigned int day);
  virtual void Write(const char* format, va_list args) = 0;
  // Ends a line; lazy lines need not reach the file at once.
  virtual void Flush(bool lazy) = 0;
  virtual dodudo::kstring Name() = 0;
  // Text taken as it is, no format interpreted (the front end's finished lines). By default it
  // goes through Write("%.*s").
  virtual void WriteText(const char* text, size_t length);

  void FmtWrite(const char* format, ...) __attribute__((format(printf, 2, 3)));
};
