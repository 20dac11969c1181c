#pragma once

#include <pthread.h>

#include <cstdarg>
#include <string>

#include "DOdudo/host/KFile.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KSystemTime.h"
#include "DOdudo/host/KThreadMutex.h"
#include "DOdudo/host/KTime.h"

// Small helpers private to the logging system. Nothing here throws or logs (the logging system
// cannot log its own platform failures).
namespace klogdetail {

// The local time of day, to the millisecond (as KHostSystem::GetTime; day of week unset).
dodudo::time::KSystemTime LocalNow();
// The kernel's id of the calling thread.
int KernelThreadId();

// printf into a std::string without the toolkit string's 20 KB ceiling: a log line must never
// throw into its caller because its text is long.
void AppendVFormat(std::string& out, const char* format, va_list args);
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Scoped lock over a raw pthread mutex (what KLogWriter::GetMutex hands out); null: no locking.
class Guard {
 public:
  explicit Guard(pthread_mutex_t* mutex) : mutex_(mutex) {
    if (mutex_) pthread_mutex_lock(mutex_);
  }
  explicit Guard(const dodudo::KThreadMutex& mutex) : Guard(mutex.GetMutex()) {}
  ~Guard() {
    if (mutex_) pthread_mutex_unlock(mutex_);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace klogdetail
