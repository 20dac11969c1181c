// Threads, identity cells and priorities.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>

#include "DOdudo/host/KHostLog.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KPriority.h"

namespace {

pthread_key_t g_identityKey;
pthread_once_t g_identityOnce = PTHREAD_ONCE_INIT;

void FreeIdentityCell(void* cell) { delete static_cast<pthread_t*>(cell); }

void CreateIdentityKey() { pthread_key_create(&g_identityKey, &FreeIdentityCell); }

pthread_t CellThread(void* cell) {
  return cell ? *static_cast<pthread_t*>(cell) : pthread_self();
}

int CreateDetached(pthread_t* thread, KThreadRoutine routine, void* argument, bool fifo) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (fifo) {
    sched_param param{};
    param.sched_priority = 1;
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    pthread_attr_setschedparam(&attr, &param);
  }
  int rc = pthread_create(thread, &attr, routine, argument);
  pthread_attr_destroy(&attr);
  return rc;
}

}  // namespace

unsigned long KHostSystem::StartThread(KThreadRoutine routine, void* argument, int /*unused*/) {
  if (routine == nullptr) return 0;
  pthread_t thread{};
  // FIFO needs scheduling privileges on Linux. A process without them (EPERM), or a platform that
  // rejects the request (EINVAL, ENOTSUP), still gets its thread, with the default scheduling:
  // otherwise its caller would silently never run.
  int rc = CreateDetached(&thread, routine, argument, true);
  if (rc == EPERM || rc == EINVAL || rc == ENOTSUP) rc = CreateDetached(&thread, routine, argument, false);
  if (rc != 0) return 0;
  return static_cast<unsigned long>(thread);
}

unsigned long KHostSystem::StartThread(void* routine, void* argument, int unused) {
  return StartThread(reinterpret_cast<KThreadRoutine>(routine), argument, unused);
}

unsigned long KHostSystem::ThreadId() { return static_cast<unsigned long>(pthread_self()); }

void* KHostSystem::ThreadSelf() {
  pthread_once(&g_identityOnce, &CreateIdentityKey);
  void* cell = pthread_getspecific(g_identityKey);
  if (cell == nullptr) {
    cell = new pthread_t(pthread_self());
    pthread_setspecific(g_identityKey, cell);
  }
  return cell;
}

int KHostSystem::ThreadGetPriority(void* cell) {
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(CellThread(cell), &policy, &param);
  return dodudo::priority::HostLevelForPriority(param.sched_priority,
                                                sched_get_priority_max(policy));
}

int KHostSystem::ThreadGetPriority() { return ThreadGetPriority(nullptr); }

void KHostSystem::ThreadSetPriority(void* cell, int level, int /*unused*/) {
  pthread_t thread = CellThread(cell);
  int policy = 0;
  sched_param param{};
  pthread_getschedparam(thread, &policy, &param);
  const int previous = param.sched_priority;
  param.sched_priority =
      dodudo::priority::PriorityForLevel(level, sched_get_priority_max(policy), previous);
  int rc = pthread_setschedparam(thread, policy, &param);
  if (rc != 0) {
    char text[256];
    KRunningLogWrite(klogWarning,
                     "Unable to set priority [%d -> %d], policy [%d] to thread [%10u]. Error: (%d) %s",
                     level, param.sched_priority, policy, static_cast<unsigned int>(thread), rc,
                     strerror_r(rc, text, sizeof text));
    return;
  }
  KRunningLogWrite(klogNotice, "Thread %10u priority changed %d -> %d",
                   static_cast<unsigned int>(thread), previous, level);
}

void KHostSystem::ThreadSetPriority(int level) { ThreadSetPriority(nullptr, level, 1); }

bool KHostSystem::TerminateThread(void* threadId) {
  int rc = pthread_cancel(reinterpret_cast<pthread_t>(threadId));
  return rc == 0 || rc == ESRCH;
}

bool KHostSystem::TerminateThreadAsync(bool async) {
  int previous = 0;
  return pthread_setcanceltype(async ? PTHREAD_CANCEL_ASYNCHRONOUS : PTHREAD_CANCEL_DEFERRED,
                               &previous) == 0;
}

bool KHostSystem::TerminateThreadEnable(bool enable) {
  int previous = 0;
  return pthread_setcancelstate(enable ? PTHREAD_CANCEL_ENABLE : PTHREAD_CANCEL_DISABLE,
                                &previous) == 0;
}

void KHostSystem::CloseThreadHandle(void* /*handle*/) {}
