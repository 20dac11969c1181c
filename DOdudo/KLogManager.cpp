#include "DOdudo/KLogManager.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "DOdudo/KCrashLogger.h"
#include "DOdudo/KFileLogWriter.h"
#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogDirectory.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogServerLink.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/KMessagesWriter.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "DOdudo/KRunningLog.h"
#include "DOdudo/SysLog.h"
#include "DOdudo/host/KThread.h"

using klogdetail::Guard;

namespace {

// Creation and termination of the instance. `ready` is set once creation has finished, so other
// threads only take the creation lock while the manager is being built (or after its end).
std::atomic<KLogManager*> g_instance{nullptr};
std::atomic<bool> g_ready{false};
std::atomic<bool> g_terminated{false};
std::atomic<bool> g_destructionDone{false};

// Kept while logging can still start: a process that ends inside the creation (the log directory
// test) still holds it while the static destructors run. Once logging has ended, the reaper below
// deletes it when the library is unloaded (or at exit), so load/unload cycles leak nothing; a
// late caller after that gets a fresh one.
std::atomic<dodudo::KThreadMutex*> g_creationLock{nullptr};

dodudo::KThreadMutex& CreationLock() {
  dodudo::KThreadMutex* lock = g_creationLock.load(std::memory_order_acquire);
  if (lock != nullptr) return *lock;
  auto* fresh = new dodudo::KThreadMutex();
  if (g_creationLock.compare_exchange_strong(lock, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *lock;
}

struct CreationLockReaper {
  ~CreationLockReaper() {
    if (g_terminated.load()) delete g_creationLock.exchange(nullptr);
  }
} g_creationLockReaper;

constexpr unsigned int kReloadWaitMs = 50000;
constexpr unsigned int kRetryStepMs = 500;

void Internal(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Internal(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KLogManager::InternalLog(level, format, args);
  va_end(args);
}

// Configuration reloads of the application (reload record type 1) are not wired in this build.
void ReloadAllConfigurations() {}

}  // namespace

KLogManager::KLogManager() : reloadExit(0x100000), startTime(klogdetail::LocalNow()) {}

KLogManager::~KLogManager() {
  {
    Guard guard(writersLock);
    for (auto& entry : writers) delete entry.second;
    writers.clear();
    errorWriter.store(nullptr);
    delete filter.exchange(nullptr);
  }
  delete channel;
}

KLogManager* KLogManager::Instance() { return g_instance.load(std::memory_order_acquire); }

KLogManager* KLogManager::Create() {
  // The directory test may end the process; do it before any manager, writer or lock exists that
  // the exit handlers would then have to tear down half-built.
  LogDirectory();
  dodudo::KRemoteLogSpecs::Instance().LoadValues();
  // A non-empty RemoteLogHost asks for the remote-log client, which ships lines to the server;
  // this build has none, so the process logs locally (its filter then keeps every trace on).
  KLogManager* manager = new KLogManager();
  g_instance.store(manager, std::memory_order_release);
  manager->selfLogger.store(new KLogger(klogKLogger, -1, "LOG", nullptr, 0, false));
  if (manager->Filter() == nullptr) {
    KLogFilter* newFilter = new KLogFilter();
    manager->filter.store(newFilter, std::memory_order_release);
    // The first logger is built while the library loads: an exception escaping from here would
    // end the host process. Without a readable klog.cfg the filter keeps every trace on.
    try {
      newFilter->LoadConfig();
    } catch (const std::exception& e) {
      Internal(klogNotice, "Log configuration not loaded, every trace is on [%s]", e.what());
    }
  }
  Internal(klogNotice, "Log directory: %s", LogDirectory().c_str());
  return manager;
}

KLogManager* KLogManager::GetMe(bool terminate) {
  if (!terminate && g_ready.load(std::memory_order_acquire)) {
    if (KLogManager* manager = Instance()) return manager;
  }
  Guard guard(CreationLock());
  if (terminate) {
    g_destructionDone.store(true);
    if (KLogManager* manager = Instance()) {
      // The instance is forgotten before the self-logger goes, so that its destructor cannot
      // count down into a second teardown.
      KLogger* self = manager->selfLogger.exchange(nullptr);
      g_ready.store(false);
      g_instance.store(nullptr);
      delete self;
      delete manager;
    }
    g_terminated.store(true);
    return nullptr;
  }
  if (g_terminated.load()) {
    KCrashLogger crash;
    crash.Log("Trying to log when KLogger is already finished");
    return nullptr;
  }
  if (KLogManager* manager = Instance()) return manager;  // being built by this thread
  KLogManager* manager = Create();
  g_ready.store(true, std::memory_order_release);
  return manager;
}

KLogWriter* KLogManager::GetWriter(const char* name) {
  std::string key = name != nullptr ? name : "klog";
  Guard guard(writersLock);
  auto found = writers.find(key);
  if (found != writers.end()) return found->second;
  KLogWriter* writer = key == "messages" ? static_cast<KLogWriter*>(new KMessagesWriter())
                                         : new KFileLogWriter(key.c_str());
  writers.emplace(key, writer);
  return writer;
}

KLogWriter* KLogManager::ErrorWriter() {
  KLogManager* manager = Instance();
  if (manager == nullptr) return nullptr;
  KLogWriter* writer = manager->errorWriter.load(std::memory_order_acquire);
  if (writer == nullptr) {
    writer = manager->GetWriter("messages");
    manager->errorWriter.store(writer, std::memory_order_release);
  }
  return writer;
}

KLogger* KLogManager::SelfLogger() {
  KLogManager* manager = Instance();
  return manager != nullptr ? manager->selfLogger.load() : nullptr;
}

void KLogManager::SetInternalLogOff() {
  if (KLogManager* manager = Instance()) manager->internalLogOff.store(true);
}

void KLogManager::InternalLog(KLogLevel level, const char* format, va_list args) {
  KLogManager* manager = Instance();
  if (manager == nullptr || manager->internalLogOff.load()) return;
  KLogger* self = manager->selfLogger.load();
  if (self == nullptr || self->Writer() == nullptr || !self->IsActive(level)) return;
  KLogBuilder builder;
  builder.Constructor(self->Writer(), self, false);
  builder.level = static_cast<unsigned int>(level) <= klogTrace ? level : klogError;
  builder.Log("|PID=%4d %-15s| ", KHostSystem::GetCurrentProcId(), manager->GetModuleName());
  builder.vLog(format, args);
}

void KLogManager::NotifyLoggerCreation() {
  KLogManager* manager = Instance();
  if (manager == nullptr) return;
  Guard guard(manager->countLock);
  ++manager->loggerCount;
}

void KLogManager::NotifyLoggerDestruction() {
  if (g_destructionDone.load()) return;
  KLogManager* manager = Instance();
  if (manager == nullptr) return;
  unsigned int left;
  {
    Guard guard(manager->countLock);
    if (manager->loggerCount > 0) --manager->loggerCount;
    left = manager->loggerCount;
  }
  if (left != 1) return;
  g_destructionDone.store(true);
  if (!manager->LeaveReloadThread()) {
    // The reload thread still runs on this manager: deleting it would pull the memory from under
    // the thread. Logging ends, the manager is left behind.
    Guard guard(CreationLock());
    g_ready.store(false);
    g_instance.store(nullptr);
    g_terminated.store(true);
    return;
  }
  GetMe(true);
}

unsigned int KLogManager::LoggerCount() {
  Guard guard(countLock);
  return loggerCount;
}

std::vector<KFileLogWriter*> KLogManager::OpenFileWriters() {
  Guard guard(writersLock);
  std::vector<KFileLogWriter*> open;
  for (auto& entry : writers) {
    auto* file = dynamic_cast<KFileLogWriter*>(entry.second);
    if (file != nullptr && file->IsOpen()) open.push_back(file);
  }
  return open;
}

void KLogManager::WriteCheckpoint(const std::vector<KFileLogWriter*>& targets) {
  Guard guard(writersLock);
  ++checkpoint;
  for (KFileLogWriter* file : targets) {
    KLogBuilder builder;
    builder.Constructor(file, nullptr, false);
    builder.level = klogTrace;
    builder.Log("\t\t\t\t ***** CHECKPOINT %d ***** ", checkpoint);
  }
}

void KLogManager::MakeCheckpoint() {
  Guard guard(writersLock);
  WriteCheckpoint(OpenFileWriters());
}

void KLogManager::closeAllOpenLogs() {
  Guard guard(writersLock);
  for (auto& entry : writers) {
    if (auto* file = dynamic_cast<KFileLogWriter*>(entry.second)) file->Close();
  }
}

void KLogManager::FlushWriters() {
  Guard guard(writersLock);
  for (auto& entry : writers) {
    Guard writerGuard(entry.second->GetMutex());
    entry.second->Flush(false);
  }
}

void KLogManager::ApplyServerFilter(const KLogFilter& received, bool first) {
  // The checkpoint marks the change in the logs that were being written; they are closed first
  // (so that they reopen after the change), and would otherwise never get it.
  std::vector<KFileLogWriter*> wasOpen = OpenFileWriters();
  closeAllOpenLogs();
  if (KLogFilter* current = Filter()) {
    current->CopySettingsFrom(received);
    if (!first) WriteCheckpoint(wasOpen);
    current->InvokeFilterCallback(true);
  }
}

// ---- Log directory ---------------------------------------------------------------------------

// Created, checked and write-tested once (KLogDirectory.h); an unwritable directory ends the
// process.
const std::string& KLogManager::LogDirectory() { return klogdetail::LogDirectoryPath(); }

// ---- Reload thread ---------------------------------------------------------------------------

void KLogManager::StartReloadConfigThread() {
  if (reloadRunning.load() || reloadThread != nullptr || reloadStillRunning.load()) return;
  reloadRunning.store(true);
  reloadThread = dodudo::KThread::StartThread(ReloadConfigThread, this, 0, false, false, 0);
  if (reloadThread == nullptr) reloadRunning.store(false);
}

void* KLogManager::ReloadConfigThread(void* self) {
  auto* manager = static_cast<KLogManager*>(self);
  if (manager->reloadRunning.load()) {
    _NotifyThreadInit("DOdudo/KLogger", "ReloadConfigThread", 436);
    try {
      manager->ReloadConfigLoop();
    } catch (...) {
      Internal(klogWarning, "Unknown exception in reload config thread, reload disabled");
    }
  }
  Internal(klogTrace, "Signaling reload thread exit");
  manager->reloadExit.Release();
  return nullptr;
}

bool KLogManager::WaitBeforeRetry(int seconds) {
  for (int step = 0; step < seconds * 1000 / static_cast<int>(kRetryStepMs); ++step) {
    if (!reloadRunning.load()) return false;
    KHostSystem::Delay(kRetryStepMs);
  }
  return reloadRunning.load();
}

void KLogManager::DropChannel() {
  Guard guard(channelLock);
  delete channel;
  channel = nullptr;
}

// Makes sure there is a channel to the log server. False with `error` set when connecting failed,
// false with an empty `error` when the thread was asked to leave meanwhile.
bool KLogManager::EnsureChannel(int& attempt, bool& everConnected, std::string& error) {
  Guard guard(channelLock);
  if (channel != nullptr) return true;
  ++attempt;
  Internal(klogNotice, "Connecting to log server (attempt %d)", attempt);
  try {
    channel = OpenLogServerLink(dodudo::KRemoteLogSpecs::Instance().Port());
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  everConnected = true;
  attempt = 0;
  if (reloadRunning.load()) return true;
  channel->Terminate();
  delete channel;
  channel = nullptr;
  return false;
}

void KLogManager::ReloadConfigLoop() {
  int attempt = 0;
  bool everConnected = false;
  bool firstFilter = true;
  while (reloadRunning.load()) {
    std::string error;
    if (!EnsureChannel(attempt, everConnected, error)) {
      if (error.empty()) break;
      int delay = everConnected ? 15 : 5;
      Internal(klogNotice, "Could not connect to log server, trying againg in %ds [%s]", delay,
               error.c_str());
      WaitBeforeRetry(delay);
      continue;
    }
    const char* reason = nullptr;
    try {
      KLogFilter received;
      uint32_t type = 0;
      if (!channel->Receive(type, received)) {
        reason = "Log server connection ended";
      } else if (type == 1) {
        ReloadAllConfigurations();
      } else if (type == 2) {
        ApplyServerFilter(received, firstFilter);
        firstFilter = false;
      }
    } catch (const KLogServerLink::Closed&) {
      reason = "Log server connection closed";
    } catch (const std::exception& e) {
      Internal(klogWarning, "Unexpected exception in reload config thread, reload disabled [%s]",
               e.what());
      return;
    }
    if (reason != nullptr) {
      Internal(klogNotice, "%s", reason);
      DropChannel();
    }
  }
  Internal(klogNotice, "Leaving reload config thread");
}

bool KLogManager::LeaveReloadThread() {
  // A thread that outlived an earlier wait (Finalize) may still be running on this manager.
  if (!reloadRunning.load()) return !reloadStillRunning.load();
  reloadRunning.store(false);
  {
    Guard guard(channelLock);
    if (channel != nullptr) channel->Terminate();
  }
  Internal(klogTrace, "Waiting reload config thread to exit");
  bool released = reloadExit.Wait(kReloadWaitMs);
  dodudo::KThread::CloseThreadHandle(reloadThread);
  reloadThread = nullptr;
  if (released) {
    Internal(klogTrace, "Thread released");
    return true;
  }
  reloadStillRunning.store(true);
  Internal(klogNotice, "Reload config thread did not signed termination, leaking LogManager!!!");
  return false;
}

// ---- Requests to the log server --------------------------------------------------------------

void KLogManager::SendRemoteLogRequest(const std::string& request) {
  Guard guard(channelLock);
  if (channel == nullptr) return;
  try {
    channel->Send("0", request);
  } catch (const std::exception& e) {
    Internal(klogWarning, "Could not request \"%s\" [%s]", request.c_str(), e.what());
  }
}

void KLogManager::RequestReload() { SendRemoteLogRequest("reload"); }

void KLogManager::RequestKConfigReload() { SendRemoteLogRequest("config_reload"); }

// ---- Log server connection -------------------------------------------------------------------

namespace {

KLogServerLink* NoSocketChannel(uint16_t) {
  throw std::runtime_error("no socket channel in this build");
}

std::atomic<KLogServerConnector> g_connector{NoSocketChannel};

}  // namespace

KLogServerLink* OpenLogServerLink(uint16_t port) { return g_connector.load()(port); }

void SetLogServerConnector(KLogServerConnector connector) {
  g_connector.store(connector != nullptr ? connector : NoSocketChannel);
}
