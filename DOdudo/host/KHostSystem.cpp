#include "DOdudo/host/KHostSystem.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

void* KHostSystem::CreateLocalMutex() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return mutex;
}

void KHostSystem::EnterLocalMutex(void* mutex) {
  pthread_mutex_lock(static_cast<pthread_mutex_t*>(mutex));
}

int KHostSystem::LeaveLocalMutex(void* mutex) {
  return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

void KHostSystem::DeleteLocalMutex(void* mutex) {
  auto* m = static_cast<pthread_mutex_t*>(mutex);
  pthread_mutex_destroy(m);
  delete m;
}

void KHostSystem::Delay(unsigned int ms) {
  timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

unsigned int KHostSystem::GetTick() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<unsigned int>(static_cast<unsigned long long>(now.tv_sec) * 1000ULL +
                                   static_cast<unsigned long long>(now.tv_nsec) / 1000000ULL);
}
