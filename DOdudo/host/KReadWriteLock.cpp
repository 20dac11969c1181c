#include "DOdudo/host/KReadWriteLock.h"

KReadWriteLock::KReadWriteLock() { pthread_rwlock_init(&lock_, nullptr); }

KReadWriteLock::KReadWriteLock(const KReadWriteLock&) { pthread_rwlock_init(&lock_, nullptr); }

KReadWriteLock& KReadWriteLock::operator=(const KReadWriteLock&) { return *this; }

KReadWriteLock::~KReadWriteLock() { pthread_rwlock_destroy(&lock_); }

int KReadWriteLock::LockReader() { return pthread_rwlock_rdlock(&lock_); }

int KReadWriteLock::UnlockReader() { return pthread_rwlock_unlock(&lock_); }

int KReadWriteLock::LockWriter() { return pthread_rwlock_wrlock(&lock_); }

int KReadWriteLock::UnlockWriter() { return pthread_rwlock_unlock(&lock_); }

namespace dodudo {

int KReaderMutex::Lock() { return lock_->LockReader(); }
int KReaderMutex::Unlock() { return lock_->UnlockReader(); }
int KWriterMutex::Lock() { return lock_->LockWriter(); }
int KWriterMutex::Unlock() { return lock_->UnlockWriter(); }

}  // namespace dodudo
