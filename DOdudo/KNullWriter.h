#pragma once

#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogWriter.h"

namespace dodudo {

// A writer that discards every line (the "messages" writer under remote logging). It still has a
// lock, so the logger front end treats it like any other writer. Thread-safe.
class DODUDO_API KNullWriter : public KLogWriter {
 public:
  KNullWriter();
  ~KNullWriter() override;

  pthread_mutex_t* GetMutex() override { return lock_.GetMutex(); }
  void CheckDay(unsigned int day) override;
  void Write(const char* format, va_list args) override;
  void Flush(bool lazy) override;
  dodudo::kstring Name() override;

 private:
  dodudo::KThreadMutex lock_;
};

}  // namespace dodudo
