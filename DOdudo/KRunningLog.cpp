#include "DOdudo/KRunningLog.h"

#include <pthread.h>

#include <cstdarg>

#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/host/KForkSafeOnce.h"

namespace {

KLogger* MakeRunningLogger() {
  return new KLogger(klogSystem, -1, "DIRUZED", "running",
                     KLogger::KLOG_SHOW_NAME | KLogger::KLOG_EXE_PREFIX, false);
}

}  // namespace

void KRunningLog::Log(KLogLevel level, const char* format, ...) {
  // Never deleted: thread-start records may come until the very end of the process. Every thread
  // logs its start here, so a child forked while another thread made it must not wait for it.
  KLogger* const logger = &dodudo::KForkSafeOnce<KLogger, MakeRunningLogger>::Get();
  if (!logger->IsActive(level) || logger->Writer() == nullptr) return;
  KLogBuilder builder;
  builder.Constructor(logger->Writer(), logger, false);
  builder.level = static_cast<unsigned int>(level) <= klogTrace ? level : klogError;
  builder.Log("|PID=%05d LWP=%05d TRD=%10u| ", KHostSystem::GetCurrentProcId(),
              klogdetail::KernelThreadId(), static_cast<unsigned int>(pthread_self()));
  va_list args;
  va_start(args, format);
  builder.vLog(format, args);
  va_end(args);
}

void _NotifyThreadInit(const char* file, const char* function, int line) {
  KRunningLog::Log(klogNotice, "Thread started at file %s function %s line %d", file, function,
                   line);
}
