// Mutexes, events, counting semaphores and time.
#include "DOdudo/host/KHostSystem.h"

#include <errno.h>
#include <pthread.h>
#include <sys/time.h>
#include <time.h>

#include "DOdudo/host/KSystemTime.h"

namespace {

constexpr unsigned int kInfinite = 0xFFFFFFFFu;

pthread_mutex_t* AsMutex(void* handle) { return static_cast<pthread_mutex_t*>(handle); }

struct SystemEvent {
  bool signalled = false;
  void* mutex = nullptr;
  pthread_cond_t* condition = nullptr;
};

struct CountSemaphore {
  void* mutex = nullptr;
  pthread_cond_t* condition = nullptr;
  int count = 0;
  int maximum = 0;
};

// Conditions measure their timeouts on the monotonic clock: a deadline on the wall clock would
// stretch a wait by a step back of the clock (NTP, date) and cut it short by a step forward.
pthread_cond_t* NewCondition() {
  auto* condition = new pthread_cond_t;
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  int rc = pthread_cond_init(condition, &attr);
  pthread_condattr_destroy(&attr);
  if (rc == 0) return condition;
  delete condition;
  return nullptr;
}

// The monotonic deadline timeoutMs from now.
timespec DeadlineIn(unsigned int timeoutMs) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  KHostSystem::AddMilisecToTime(&deadline, timeoutMs);
  return deadline;
}

// Waits on the condition until the absolute monotonic deadline, or without limit for null.
int WaitCondition(pthread_cond_t* condition, void* mutex, const timespec* deadline) {
  if (deadline == nullptr) return pthread_cond_wait(condition, AsMutex(mutex));
  return pthread_cond_timedwait(condition, AsMutex(mutex), deadline);
}

}  // namespace

void* KHostSystem::CreateLocalMutex() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return mutex;
}

void KHostSystem::EnterLocalMutex(void* mutex) { pthread_mutex_lock(AsMutex(mutex)); }

int KHostSystem::LeaveLocalMutex(void* mutex) { return pthread_mutex_unlock(AsMutex(mutex)); }

void KHostSystem::DeleteLocalMutex(void* mutex) {
  if (mutex == nullptr) return;
  pthread_mutex_destroy(AsMutex(mutex));
  delete AsMutex(mutex);
}

void* KHostSystem::CreateSystemEvent(const char* /*name*/) {
  auto* event = new SystemEvent;
  event->mutex = CreateLocalMutex();
  event->condition = NewCondition();
  if (event->condition == nullptr) {
    DeleteLocalMutex(event->mutex);
    delete event;
    return nullptr;
  }
  return event;
}

void KHostSystem::PulseSystemEvent(void* handle) {
  if (handle == nullptr) return;
  auto* event = static_cast<SystemEvent*>(handle);
  EnterLocalMutex(event->mutex);
  if (!event->signalled) {
    pthread_cond_broadcast(event->condition);
    event->signalled = true;
  }
  LeaveLocalMutex(event->mutex);
}

int KHostSystem::WaitEvent(void* handle, unsigned int timeoutMs) {
  if (handle == nullptr) return 1;
  auto* event = static_cast<SystemEvent*>(handle);
  EnterLocalMutex(event->mutex);
  if (event->signalled) {
    event->signalled = false;
    LeaveLocalMutex(event->mutex);
    return 0;
  }
  int rc;
  if (timeoutMs == kInfinite) {
    rc = WaitCondition(event->condition, event->mutex, nullptr);
  } else {
    timespec deadline = DeadlineIn(timeoutMs);
    rc = WaitCondition(event->condition, event->mutex, &deadline);
  }
  event->signalled = false;
  LeaveLocalMutex(event->mutex);
  if (rc == 0) return 0;
  return rc == ETIMEDOUT ? 2 : 1;
}

int KHostSystem::CloseSystemEvent(void* handle) {
  if (handle == nullptr) return 1;
  auto* event = static_cast<SystemEvent*>(handle);
  pthread_cond_destroy(event->condition);
  delete event->condition;
  DeleteLocalMutex(event->mutex);
  delete event;
  return 0;
}

void* KHostSystem::CreateCountSemaphore(int initial, int maximum, const char* /*name*/) {
  auto* semaphore = new CountSemaphore;
  semaphore->mutex = CreateLocalMutex();
  semaphore->condition = NewCondition();
  if (semaphore->condition == nullptr) {
    DeleteLocalMutex(semaphore->mutex);
    delete semaphore;
    return nullptr;
  }
  semaphore->count = initial;
  semaphore->maximum = maximum;
  return semaphore;
}

int KHostSystem::WaitOnSemaphore(void* handle, unsigned int timeoutMs) {
  if (handle == nullptr) return 1;
  auto* semaphore = static_cast<CountSemaphore*>(handle);
  // The deadline is taken before locking, so time spent waiting for the lock counts.
  timespec deadline = DeadlineIn(timeoutMs);
  const timespec* limit = timeoutMs == kInfinite ? nullptr : &deadline;

  EnterLocalMutex(semaphore->mutex);
  while (semaphore->count < 1) {
    int rc = WaitCondition(semaphore->condition, semaphore->mutex, limit);
    if (rc != 0 && rc != EINTR) {
      LeaveLocalMutex(semaphore->mutex);
      return 1;
    }
  }
  --semaphore->count;
  LeaveLocalMutex(semaphore->mutex);
  return 0;
}

bool KHostSystem::ReleaseSemaphore(void* handle, int n) {
  if (handle == nullptr) return false;
  auto* semaphore = static_cast<CountSemaphore*>(handle);
  EnterLocalMutex(semaphore->mutex);
  long long count = static_cast<long long>(semaphore->count) + n;
  semaphore->count = static_cast<int>(count < semaphore->maximum ? count : semaphore->maximum);
  bool woken = pthread_cond_broadcast(semaphore->condition) == 0;
  LeaveLocalMutex(semaphore->mutex);
  return woken;
}

void KHostSystem::DeleteSemaphore(void* handle) {
  if (handle == nullptr) return;
  auto* semaphore = static_cast<CountSemaphore*>(handle);
  DeleteLocalMutex(semaphore->mutex);
  pthread_cond_destroy(semaphore->condition);
  delete semaphore->condition;
  delete semaphore;
}

void KHostSystem::Delay(unsigned int ms) {
  timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) {
    if (remaining.tv_sec == 0 && remaining.tv_nsec == 0) break;
    request = remaining;
  }
}

void KHostSystem::PrecisionDelay(unsigned int ms) { Delay(ms); }

namespace {
unsigned int ToMilliseconds(const timespec& t) {
  return static_cast<unsigned int>(static_cast<unsigned long long>(t.tv_sec) * 1000ULL +
                                   static_cast<unsigned long long>(t.tv_nsec) / 1000000ULL);
}
}  // namespace

unsigned int KHostSystem::GetTick() {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return ToMilliseconds(now);
}

unsigned int KHostSystem::GetTickMaxCount() { return 0xFFFFFFFFu; }

unsigned int KHostSystem::diffTime(unsigned int start, unsigned int end) {
  if (end >= start) return end - start;
  return end - start + GetTickMaxCount();
}

unsigned int KHostSystem::diffTime(unsigned int start) { return diffTime(start, GetTick()); }

unsigned int KHostSystem::diffTimeMilisec(timespec& a, timespec& b) {
  return diffTime(ToMilliseconds(a), ToMilliseconds(b));
}

void KHostSystem::AddMilisecToTime(timespec* t, unsigned int ms) {
  if (t == nullptr) return;
  t->tv_sec += static_cast<time_t>(ms / 1000);
  t->tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (t->tv_nsec > 999999999L) {
    t->tv_sec += 1;
    t->tv_nsec -= 1000000000L;
  }
}

void KHostSystem::GetTime(dodudo::time::KSystemTime* out) {
  if (out == nullptr) return;
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  out->year = static_cast<uint16_t>(local.tm_year + 1900);
  out->month = static_cast<uint8_t>(local.tm_mon + 1);
  out->day = static_cast<uint8_t>(local.tm_mday);
  out->hour = static_cast<uint8_t>(local.tm_hour);
  out->minute = static_cast<uint8_t>(local.tm_min);
  out->second = static_cast<uint8_t>(local.tm_sec);
  out->milliseconds = static_cast<uint16_t>(now.tv_usec / 1000);
}

unsigned int KHostSystem::GetSecondsSinceEpoch(int& bias) {
  time_t now = ::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  bias = static_cast<int>(-(local.tm_gmtoff / 60) * 60);
  return static_cast<unsigned int>(now);
}
