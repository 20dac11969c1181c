#pragma once

#include <pthread.h>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KMutex.h"

// Many readers or one writer, with the platform's default preference. Not recursive for writers.
// A copy gets a fresh, unlocked lock of its own; assignment changes neither lock. All operations
// return the platform's result (0 on success).
class DODUDO_API KReadWriteLock {
 public:
  KReadWriteLock();
  KReadWriteLock(const KReadWriteLock&);
  KReadWriteLock& operator=(const KReadWriteLock&);
  virtual ~KReadWriteLock();

  int LockReader();
  int UnlockReader();
  int LockWriter();
  int UnlockWriter();

 private:
  pthread_rwlock_t lock_;
};

namespace dodudo {

// The reader side of a KReadWriteLock seen as a KMutex. Does not own the lock, which must outlive
// the view.
class DODUDO_API KReaderMutex : public KMutex {
 public:
  explicit KReaderMutex(KReadWriteLock* lock) : lock_(lock) {}
  int Lock() override;
  int Unlock() override;

 private:
  KReadWriteLock* lock_;
};

// The writer side of a KReadWriteLock seen as a KMutex. Does not own the lock.
class DODUDO_API KWriterMutex : public KMutex {
 public:
  explicit KWriterMutex(KReadWriteLock* lock) : lock_(lock) {}
  int Lock() override;
  int Unlock() override;

 private:
  KReadWriteLock* lock_;
};

}  // namespace dodudo
