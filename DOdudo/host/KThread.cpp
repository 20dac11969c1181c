#include "DOdudo/host/KThread.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <typeinfo>

#include "DOdudo/host/KHostLog.h"
#include "DOdudo/host/KPriority.h"

namespace dodudo {

namespace {

constexpr unsigned int kInfinite = 0xFFFFFFFFu;
constexpr unsigned int kPollMs = 100;

int Create(pthread_t* thread, KThreadRoutine routine, void* argument, int policy) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (policy != 0) {
    sched_param param{};
    param.sched_priority = 1;
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, policy);
    pthread_attr_setschedparam(&attr, &param);
  }
  int rc = pthread_create(thread, &attr, routine, argument);
  pthread_attr_destroy(&attr);
  return rc;
}

// The policy to request explicitly, or 0 for the default scheduling (after the Warning).
int ChoosePolicy(unsigned int scheduler) {
  if (scheduler == 0) return 0;
  if (geteuid() != 0) {
    KRunningLogWrite(klogWarning,
                     "Unable to start thread using scheduler %d -- need to be running as root to "
                     "change scheduler, creating with default scheduler",
                     static_cast<int>(scheduler));
    return 0;
  }
  if (scheduler >= 5) {
    KRunningLogWrite(klogWarning,
                     "Invalid thread scheduler %d, refusing to set thread scheduler and creating "
                     "with default scheduler",
                     static_cast<int>(scheduler));
    return 0;
  }
  return static_cast<int>(scheduler);
}

pthread_t CellThread(void* handle) {
  return handle ? *static_cast<pthread_t*>(handle) : pthread_self();
}

}  // namespace

KThread::KThread()
    : handle_(nullptr),
      running_(false),
      starting_(false),
      scheduler_(0),
      stopRequested_(false),
      terminated_(false) {}

KThread::~KThread() { CloseThreadHandle(handle_); }

void* KThread::Start() {
  starting_ = true;
  void* handle = StartThread(&Starter, this, 0, false, false, scheduler_);
  // No thread will ever clear the flag: leave it clear so that Join does not wait for a start.
  if (handle == nullptr) starting_ = false;
  CloseThreadHandle(handle_);
  handle_ = handle;
  return handle;
}

void* KThread::StartThread(KThreadRoutine routine, void* argument, int, bool, bool releaseHandle,
                           unsigned int scheduler) {
  if (routine == nullptr) return nullptr;
  pthread_t thread{};
  const int policy = ChoosePolicy(scheduler);
  int rc = Create(&thread, routine, argument, policy);
  // Root without the scheduling capability (a container), or a policy without priority 1: the
  // thread is still needed, so it gets the default scheduling.
  if (rc != 0 && policy != 0) rc = Create(&thread, routine, argument, 0);
  if (rc != 0 || releaseHandle) return nullptr;
  return new pthread_t(thread);
}

void* KThread::StartThread(void* routine, void* argument, int a, bool b, bool releaseHandle,
                           unsigned int scheduler) {
  return StartThread(reinterpret_cast<KThreadRoutine>(routine), argument, a, b, releaseHandle,
                     scheduler);
}

namespace {
// Exit() and cancellation unwind the thread with a foreign exception, which carries no C++ object
// (so there is no current exception to speak of) and must be let through.
bool IsForcedUnwind() { return !std::current_exception(); }

// Marks the body as over on every way out, unwinding included. Nothing touches the object after
// this: the owner may destroy it as soon as it sees the terminated flag.
struct TerminationMark {
  std::atomic<bool>& stop;
  std::atomic<bool>& terminated;
  ~TerminationMark() {
    stop = true;
    terminated = true;
  }
};
}  // namespace

void* KThread::Starter(void* argument) {
  auto* thread = static_cast<KThread*>(argument);
  // The encoded name lives in static storage, so it stays usable after the object is gone.
  const char* type = typeid(*thread).name();
  KRunningLogWrite(klogNotice, "Thread started: %s", type);
  thread->running_ = true;
  thread->starting_ = false;
  TerminationMark mark{thread->stopRequested_, thread->terminated_};
  try {
    thread->Execute();
    KRunningLogWrite(klogNotice, "Thread stopped: %s", type);
  } catch (const std::exception& e) {
    KRunningLogWrite(klogError, "Thread %s stopped due to unhandled exception %s", type, e.what());
  } catch (...) {
    if (IsForcedUnwind()) throw;
    KRunningLogWrite(klogError, "Thread %s stopped due to unknown unhandled exception", type);
  }
  return nullptr;
}

void KThread::Exit() { pthread_exit(nullptr); }

void KThread::CloseThreadHandle(void* handle) { delete static_cast<pthread_t*>(handle); }

int KThread::GetPriority(void* handle) {
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(CellThread(handle), &policy, &param);
  return priority::ThreadLevelForPriority(param.sched_priority, sched_get_priority_max(policy));
}

bool KThread::SetPriority(void* handle, int level, int) {
  KHostSystem::ThreadSetPriority(handle, level, 1);
  return true;
}

bool KThread::SetPriority(int level) { return SetPriority(nullptr, level, 1); }

bool KThread::Join(unsigned int timeoutMs) {
  const bool limited = timeoutMs != kInfinite;
  const unsigned int entered = KHostSystem::GetTick();
  // A start that never completes must not hold the caller beyond its limit either.
  while (starting_) {
    if (limited && KHostSystem::GetTick() - entered >= timeoutMs) return false;
    KHostSystem::Delay(kPollMs);
  }
  const unsigned int start = KHostSystem::GetTick();
  for (;;) {
    if (limited && KHostSystem::GetTick() - start >= timeoutMs) return false;
    if ((!starting_ && !running_) || terminated_) {
      unsigned int id = handle_ ? static_cast<unsigned int>(CellThread(handle_)) : 0;
      KRunningLogWrite(klogTrace, "Unable to join %10u, thread already terminated", id);
      return false;
    }
    if (handle_ != nullptr && pthread_kill(CellThread(handle_), 0) == ESRCH) return true;
    KHostSystem::Delay(kPollMs);
  }
}

}  // namespace dodudo
