#include "DOdudo/host/KSemaphore.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <semaphore.h>
#include <time.h>

#include "DOdudo/host/KHostSystem.h"

namespace dodudo {

namespace {
constexpr unsigned int kInfinite = 0xFFFFFFFFu;
constexpr mode_t kPermissions = 0664;

// The host semaphore counts in int: a larger maximum (0xFFFFFFFF for "no limit") would turn
// negative there and no release would ever give a unit.
int MaximumCount(unsigned int maximum) {
  return maximum > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(maximum);
}

sem_t* AsSem(void* handle) { return static_cast<sem_t*>(handle); }

void* OpenNamed(const std::string& name, bool create, bool* owner) {
  *owner = false;
  sem_t* sem = SEM_FAILED;
  if (create) {
    sem = sem_open(name.c_str(), O_CREAT | O_EXCL, kPermissions, 0u);
    if (sem == SEM_FAILED && errno == EEXIST) {
      // A leftover of an earlier owner: start from a fresh count.
      sem_unlink(name.c_str());
      sem = sem_open(name.c_str(), O_CREAT | O_EXCL, kPermissions, 0u);
    }
    *owner = sem != SEM_FAILED;
  } else {
    sem = sem_open(name.c_str(), O_CREAT, kPermissions, 0u);
  }
  return sem == SEM_FAILED ? nullptr : sem;
}

bool WaitNamed(sem_t* sem, unsigned int timeoutMs) {
  if (timeoutMs == kInfinite) {
    int rc;
    while ((rc = sem_wait(sem)) != 0 && errno == EINTR) {
    }
    return rc == 0;
  }
  // On the monotonic clock: a step of the wall clock neither stretches nor cuts the wait.
  timespec deadline{};
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return false;
  KHostSystem::AddMilisecToTime(&deadline, timeoutMs);
  int rc;
  while ((rc = sem_clockwait(sem, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
  }
  return rc == 0;
}
}  // namespace

KSemaphore::KSemaphore(unsigned int maximum)
    : named_(false),
      maximum_(maximum),
      handle_(KHostSystem::CreateCountSemaphore(0, MaximumCount(maximum), nullptr)),
      owner_(true) {}

KSemaphore::KSemaphore(std::string name, unsigned int maximum, bool create)
    : named_(true), name_(std::move(name)), maximum_(maximum), handle_(nullptr), owner_(false) {
  handle_ = OpenNamed(name_, create, &owner_);
}

KSemaphore::~KSemaphore() {
  if (!named_) {
    KHostSystem::DeleteSemaphore(handle_);
    return;
  }
  if (handle_ != nullptr) sem_close(AsSem(handle_));
  if (owner_) sem_unlink(name_.c_str());
}

bool KSemaphore::Wait(unsigned int timeoutMs) {
  if (handle_ == nullptr) return false;
  if (!named_) return KHostSystem::WaitOnSemaphore(handle_, timeoutMs) == 0;
  return WaitNamed(AsSem(handle_), timeoutMs);
}

bool KSemaphore::Release() {
  if (handle_ == nullptr) return false;
  if (!named_) return KHostSystem::ReleaseSemaphore(handle_, 1);
  return sem_post(AsSem(handle_)) == 0;
}

}  // namespace dodudo
