#pragma once

#include "DOdudo/host/KExport.h"

namespace dodudo {

// A lock that code can take without knowing which kind it is (a recursive mutex, or either side of
// a read/write lock). Both operations return the platform's result, 0 on success.
class DODUDO_API KMutex {
 public:
  virtual int Lock() = 0;
  virtual int Unlock() = 0;
  virtual ~KMutex();
};

// Holds a KMutex for one scope, so that every exit path unlocks it.
class KScopedLock {
 public:
  explicit KScopedLock(KMutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~KScopedLock() { mutex_.Unlock(); }
  KScopedLock(const KScopedLock&) = delete;
  KScopedLock& operator=(const KScopedLock&) = delete;

 private:
  KMutex& mutex_;
};

}  // namespace dodudo
