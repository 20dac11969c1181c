#pragma once

#include "DOdudo/host/KHostSystem.h"

// Scoped holder of a KHostSystem local mutex: enters on construction, leaves on destruction, so
// every exit path (returns and exceptions alike) releases the lock. A null handle means "run
// unlocked", which is what the controller does when its lock could not be created.
class LocalLock {
 public:
  explicit LocalLock(void* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) KHostSystem::EnterLocalMutex(mutex_);
  }
  ~LocalLock() {
    if (mutex_ != nullptr) KHostSystem::LeaveLocalMutex(mutex_);
  }
  LocalLock(const LocalLock&) = delete;
  LocalLock& operator=(const LocalLock&) = delete;

 private:
  void* mutex_;
};
