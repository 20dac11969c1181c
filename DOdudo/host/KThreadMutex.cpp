#include "DOdudo/host/KThreadMutex.h"

#include "DOdudo/host/KHostSystem.h"

namespace dodudo {

KMutex::~KMutex() = default;

KThreadMutex::KThreadMutex()
    : mutex_(static_cast<pthread_mutex_t*>(KHostSystem::CreateLocalMutex())) {}

KThreadMutex::~KThreadMutex() {
  KHostSystem::DeleteLocalMutex(mutex_);
  mutex_ = nullptr;
}

int KThreadMutex::Lock() { return pthread_mutex_lock(mutex_); }

int KThreadMutex::Unlock() { return pthread_mutex_unlock(mutex_); }

}  // namespace dodudo
