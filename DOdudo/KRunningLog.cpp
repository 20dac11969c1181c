#include "DOdudo/KRunningLog.h"

#include <pthread.h>

#include <cstdarg>

#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogger.h"

namespace {

// Never deleted: thread-start records may come until the very end of the process.
KLogger* g_runningLogger = nullptr;
pthread_once_t g_runningLoggerOnce = PTHREAD_ONCE_INIT;

void MakeRunningLogger() {
  g_runningLogger = new KLogger(klogSystem, -1, "DIRUZED", "running",
                                KLogger::KLOG_SHOW_NAME | KLogger::KLOG_EXE_PREFIX, false);
}

}  // namespace

void KRunningLog::Log(KLogLevel level, const char* format, ...) {
  // pthread_once rather than a function-local static: a fork while another thread is making the
  // logger would leave the child waiting for ever on the static's guard, and with it every thread
  // the child starts (each logs its start here); glibc lets the child make it anew.
  pthread_once(&g_runningLoggerOnce, MakeRunningLogger);
  KLogger* const logger = g_runningLogger;
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
