#include "DOdudo/KLogManager.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "DOdudo/KCrashLogger.h"
#include "DOdudo/KFileLogWriter.h"
#include "DOdudo/KLogBuilder.h"
#include "DOdudo/KLogDirectory.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogMessage.h"
#include "DOdudo/KLogServerLink.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/KMessagesWriter.h"
#include "DOdudo/KRemoteLogClient.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "DOdudo/KRemoteLogWriter.h"
#include "DOdudo/KRunningLog.h"
#include "DOdudo/SysLog.h"
#include "DOdudo/config/KConfigReloader.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KRetained.h"
#include "DOdudo/host/KThread.h"

using klogdetail::Guard;

namespace {

// ---- The lifecycle of the process's logging ---------------------------------------------------
//
//   kNone --first GetMe(false)--> kCreating --> kRunning --last logger / GetMe(true)--> kEnding
//   --> kEnded
//
// kRunning is the only phase in which loggers count down; kEnded is final (a process never gets a
// second manager, and later callers get a crash.log report). Every change of phase happens under
// g_lifecycle, and so do Initialize and Finalize, so the end of logging never deletes a manager
// that one of them is still using. The log calls themselves only read g_phase and g_instance.
//
// g_lifecycle is a statically initialised recursive mutex: no constructor or destructor runs, so
// it serves static initialisers, survives exit() inside creation (the log directory test) and
// leaves nothing behind when the library is unloaded. Recursive, because creating the manager
// creates its own logger, which asks for the manager again.
enum Phase { kNone, kCreating, kRunning, kEnding, kEnded };
std::atomic<int> g_phase{kNone};
std::atomic<KLogManager*> g_instance{nullptr};
pthread_mutex_t g_lifecycle = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

constexpr unsigned int kReloadWaitMs = 50000;
constexpr unsigned int kRetryStepMs = 500;

void Internal(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Internal(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KLogManager::InternalLog(level, format, args);
  va_end(args);
}

}  // namespace

KLogManager::KLogManager() : startTime(klogdetail::LocalNow()) {}

KLogManager::~KLogManager() {
  dodudo::KAtFork::Unregister(forkHandlers);
  DeleteWriters();
  delete filter.exchange(nullptr);
  delete channel;
}

void KLogManager::DeleteWriters() {
  Guard guard(writersLock);
  errorWriter.store(nullptr);
  for (auto& entry : writers) delete entry.second;
  writers.clear();
}

namespace {
// The lock of a writer that the manager holds around fork itself: file writers are held (after
// it) and renewed by their own handlers, with every other file writer of the process.
pthread_mutex_t* ForkLockOf(KLogWriter* writer) {
  return dynamic_cast<KFileLogWriter*>(writer) == nullptr ? writer->GetMutex() : nullptr;
}
}  // namespace

void KLogManager::LockForFork() {
  countLock.Lock();
  writersLock.Lock();
  for (auto& entry : writers) {
    if (pthread_mutex_t* lock = ForkLockOf(entry.second)) pthread_mutex_lock(lock);
  }
}

void KLogManager::UnlockAfterFork() {
  for (auto it = writers.rbegin(); it != writers.rend(); ++it) {
    if (pthread_mutex_t* lock = ForkLockOf(it->second)) pthread_mutex_unlock(lock);
  }
  writersLock.Unlock();
  countLock.Unlock();
}

void KLogManager::RenewLocksInChild() {
  for (auto& entry : writers) {
    if (pthread_mutex_t* lock = ForkLockOf(entry.second))
      dodudo::KAtFork::RenewHeldRecursiveMutex(lock);
  }
  dodudo::KAtFork::RenewHeldRecursiveMutex(writersLock.GetMutex());
  dodudo::KAtFork::RenewHeldRecursiveMutex(countLock.GetMutex());
}

void KLogManager::SetFilter(KLogFilter* replacement) { delete filter.exchange(replacement); }

KLogManager* KLogManager::Instance() { return g_instance.load(std::memory_order_acquire); }

KLogManager* KLogManager::Create() {
  // The directory test may end the process; do it before any manager, writer or lock exists that
  // the exit handlers would then have to tear down half-built.
  LogDirectory();
  dodudo::KRemoteLogSpecs::Instance().LoadValues();
  KLogManager* manager = nullptr;
  if (!dodudo::KRemoteLogSpecs::Instance().Host().empty()) {
    try {
      manager = dodudo::KRetained([] { return new dodudo::KRemoteLogClient(); });
    } catch (const std::exception&) {
      manager = nullptr;  // log locally instead
    }
  }
  // A logger that is never deleted (those of the toolkit's own threads) keeps the manager for the
  // life of the process, past an unload of the library.
  if (manager == nullptr) {
    manager = dodudo::KRetained([] { return new KLogManager(); });
    // A thread finding or adding a writer holds the map lock at a fork: the child's first line
    // would wait for it for ever. Innermost, as anything logs under its own locks; made after the
    // file writers' registration, so these locks are taken before theirs, as a logging thread
    // takes them.
    manager->forkHandlers = dodudo::KAtFork::RegisterInnermost(
        [](void* self) { static_cast<KLogManager*>(self)->LockForFork(); },
        [](void* self) { static_cast<KLogManager*>(self)->UnlockAfterFork(); },
        [](void* self) { static_cast<KLogManager*>(self)->RenewLocksInChild(); }, manager);
  }
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
  if (terminate) {
    End();
    return nullptr;
  }
  // While ending, the manager's own threads may still ask for it until it is forgotten.
  auto usable = [] {
    int phase = g_phase.load(std::memory_order_acquire);
    return phase == kRunning || phase == kEnding;
  };
  if (usable()) return Instance();
  // Another thread is creating the manager (or ending it): wait for the phase to move on rather
  // than block on the lock. A thread the manager starts while it is being built may ask for it
  // before the end, which waits for that thread with the lock held, has begun.
  while (pthread_mutex_trylock(&g_lifecycle) != 0) {
    if (usable()) return Instance();
    KHostSystem::Delay(1);
  }
  struct Unlock {
    ~Unlock() { pthread_mutex_unlock(&g_lifecycle); }
  } unlock;
  switch (g_phase.load()) {
    case kCreating:  // this thread is building it (the lock keeps every other thread out)
    case kRunning:
      return Instance();
    case kNone:
      break;
    default: {
      KCrashLogger crash;
      crash.Log("Trying to log when KLogger is already finished");
      return nullptr;
    }
  }
  g_phase.store(kCreating);
  try {
    KLogManager* manager = Create();
    g_phase.store(kRunning, std::memory_order_release);
    return manager;
  } catch (...) {
    g_instance.store(nullptr);
    g_phase.store(kNone);
    throw;
  }
}

// The end of logging, from the last logger's destruction or GetMe(true). The reload thread is
// left first: a manager whose thread did not end is left behind rather than deleted under it.
void KLogManager::End() {
  Guard guard(&g_lifecycle);
  if (g_phase.load() != kRunning) {
    if (g_phase.load() == kNone) g_phase.store(kEnded);
    return;
  }
  KLogManager* manager = Instance();
  // From here no logger counts down (the self-logger's destruction included).
  g_phase.store(kEnding, std::memory_order_release);
  bool left = manager->LeaveReloadThread();
  // Forgotten before it goes: a late caller finds no manager rather than a dying one.
  g_instance.store(nullptr, std::memory_order_release);
  if (left) {
    delete manager->selfLogger.exchange(nullptr);
    delete manager;
  }
  g_phase.store(kEnded, std::memory_order_release);
}

void KLogManager::AppInitialization() {
  if (GetMe(false) == nullptr) return;
  Guard guard(&g_lifecycle);
  if (g_phase.load() == kRunning) Instance()->StartReloadConfigThread();
}

void KLogManager::AppTermination() {
  Guard guard(&g_lifecycle);
  if (g_phase.load() == kRunning) Instance()->LeaveReloadThread();
}

KLogWriter* KLogManager::FindOrAddWriter(const char* name, WriterMaker make) {
  std::string key = name != nullptr ? name : "klog";
  Guard guard(writersLock);
  auto found = writers.find(key);
  if (found != writers.end()) return found->second;
  KLogWriter* writer = make(key, this);
  writers.emplace(key, writer);
  return writer;
}

KLogWriter* KLogManager::GetWriter(const char* name) {
  return FindOrAddWriter(name, [](const std::string& key, KLogManager*) -> KLogWriter* {
    if (key == "messages") return new KMessagesWriter();
    return new KFileLogWriter(key.c_str());
  });
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
  if (g_phase.load(std::memory_order_acquire) != kRunning) return;
  // Under the lifecycle lock, so that KLogger::Terminate() racing the last logger cannot count
  // down on a manager that the other has just deleted.
  Guard lifecycle(&g_lifecycle);
  if (g_phase.load() != kRunning) return;
  KLogManager* manager = Instance();
  unsigned int left;
  {
    Guard guard(manager->countLock);
    if (manager->loggerCount > 0) --manager->loggerCount;
    left = manager->loggerCount;
  }
  if (left == 1) End();
}

unsigned int KLogManager::LoggerCount() {
  Guard guard(countLock);
  return loggerCount;
}

std::vector<KLogWriter*> KLogManager::OpenWriters() {
  Guard guard(writersLock);
  std::vector<KLogWriter*> open;
  for (auto& entry : writers) {
    auto* file = dynamic_cast<KFileLogWriter*>(entry.second);
    auto* remote = dynamic_cast<dodudo::KRemoteLogWriter*>(entry.second);
    if ((file != nullptr && file->IsOpen()) || (remote != nullptr && remote->HasWritten()))
      open.push_back(entry.second);
  }
  return open;
}

void KLogManager::WriteCheckpoint(const std::vector<KLogWriter*>& targets) {
  Guard guard(writersLock);
  ++checkpoint;
  for (KLogWriter* target : targets) {
    KLogBuilder builder;
    builder.Constructor(target, nullptr, false);
    builder.level = klogTrace;
    builder.Log("\t\t\t\t ***** CHECKPOINT %d ***** ", checkpoint);
  }
}

void KLogManager::MakeCheckpoint() {
  Guard guard(writersLock);
  WriteCheckpoint(OpenWriters());
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
  std::vector<KLogWriter*> wasOpen = OpenWriters();
  closeAllOpenLogs();
  if (KLogFilter* current = Filter()) {
    current->CopySettingsFrom(received);
    current->RaiseSizeLimits(kMinPushedFileSize, kMinPushedTotalSize);
    if (!first) WriteCheckpoint(wasOpen);
    current->InvokeFilterCallback(true);
  }
}

// ---- Log directory ---------------------------------------------------------------------------

// Created, checked and write-tested once (KLogDirectory.h); an unwritable directory ends the
// process.
const std::string& KLogManager::LogDirectory() { return klogdetail::LogDirectoryPath(); }

// ---- Reload thread ---------------------------------------------------------------------------

namespace {

// A reload record of type 1: the application reloads its YAML configurations, on a thread of the
// reloader's own (the reload thread goes back to its server at once).
void ReloadAllConfigurations() {
  Internal(klogNotice, "Configuration reload requested by the log server");
  config::KConfigReloader::AsyncReloadAll();
}

}  // namespace

void KLogManager::StartReloadConfigThread() {
  std::lock_guard<std::mutex> guard(reloadLock);
  if (reloadState != Reload::kIdle) return;
  reloadState = Reload::kRunning;
  void* handle = dodudo::KThread::StartThread(ReloadConfigThread, this, 0, false, false, 0);
  if (handle == nullptr) reloadState = Reload::kIdle;
  dodudo::KThread::CloseThreadHandle(handle);  // the thread is detached; its end is reloadState
}

bool KLogManager::ReloadWanted() {
  std::lock_guard<std::mutex> guard(reloadLock);
  return reloadState == Reload::kRunning;
}

void* KLogManager::ReloadConfigThread(void* self) {
  auto* manager = static_cast<KLogManager*>(self);
  if (manager->ReloadWanted()) {
    _NotifyThreadInit("DOdudo/KLogger", "ReloadConfigThread", 436);
    try {
      manager->ReloadConfigLoop();
    } catch (...) {
      Internal(klogWarning, "Unknown exception in reload config thread, reload disabled");
    }
  }
  Internal(klogTrace, "Signaling reload thread exit");
  // The last touch of the manager: once the lock is released, a leaver may delete it.
  std::lock_guard<std::mutex> guard(manager->reloadLock);
  manager->reloadState = Reload::kIdle;
  manager->reloadEnded.notify_all();
  return nullptr;
}

bool KLogManager::WaitBeforeRetry(int seconds) {
  for (int step = 0; step < seconds * 1000 / static_cast<int>(kRetryStepMs); ++step) {
    if (!ReloadWanted()) return false;
    KHostSystem::Delay(kRetryStepMs);
  }
  return ReloadWanted();
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
    channel = new KLogServerLink("127.0.0.1", dodudo::KRemoteLogSpecs::Instance().Port());
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  everConnected = true;
  attempt = 0;
  if (ReloadWanted()) return true;
  channel->Terminate();
  delete channel;
  channel = nullptr;
  return false;
}

void KLogManager::ReloadConfigLoop() {
  int attempt = 0;
  bool everConnected = false;
  bool firstFilter = true;
  while (ReloadWanted()) {
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
      // Only this thread deletes the channel, so it may receive on it without the lock.
      dodudo::KReloadMessage message;
      if (!channel->Receive(message)) {
        reason = "Log server connection ended";
      } else if (message.Type() == dodudo::KReloadMessage::kReloadConfigs) {
        ReloadAllConfigurations();
      } else if (message.Type() == dodudo::KReloadMessage::kLogFilter) {
        ApplyServerFilter(message.GetLogFilter(), firstFilter);
        firstFilter = false;
      }
    } catch (const KLogServerLink::Closed&) {
      reason = "Log server connection closed";
    } catch (const std::exception& e) {
      Internal(klogWarning, "Unexpected exception in reload config thread, reload disabled [%s]",
               e.what());
      DropChannel();
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
  std::unique_lock<std::mutex> lock(reloadLock);
  if (reloadState == Reload::kIdle) return true;
  if (reloadState == Reload::kRunning) {
    reloadState = Reload::kLeaving;
    lock.unlock();
    {
      Guard guard(channelLock);
      if (channel != nullptr) channel->Terminate();
    }
    Internal(klogTrace, "Waiting reload config thread to exit");
    lock.lock();
  }
  // Every leaver waits here for the same end, however many call at once.
  bool ended = reloadEnded.wait_for(lock, std::chrono::milliseconds(kReloadWaitMs),
                                    [this] { return reloadState == Reload::kIdle; });
  lock.unlock();
  if (ended) {
    Internal(klogTrace, "Thread released");
  } else {
    Internal(klogNotice, "Reload config thread did not signed termination, leaking LogManager!!!");
  }
  return ended;
}

// ---- Requests to the log server --------------------------------------------------------------

void KLogManager::SendRemoteLogRequest(const std::string& request) {
  Guard guard(channelLock);
  if (channel == nullptr) return;
  try {
    dodudo::KLogMessage record("0", request.c_str());
    channel->Send(record);
  } catch (const std::exception& e) {
    Internal(klogWarning, "Could not request \"%s\" [%s]", request.c_str(), e.what());
  }
}

void KLogManager::RequestReload() { SendRemoteLogRequest("reload"); }

void KLogManager::RequestKConfigReload() { SendRemoteLogRequest("config_reload"); }
