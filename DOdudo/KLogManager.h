#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/KLogPlatform.h"

class KFileLogWriter;
class KLogFilter;
class KLogServerLink;
class KLogWriter;
class KLogger;

// The process-wide owner of the logging system: the writers (one per writer name, created on
// demand, "messages" being the KMessagesWriter), the filter, its own logger ("LOG", klog.log),
// the count of live loggers and the reload thread that keeps a connection to the local log
// server. Created by the first logger (GetMe(false)); ended when the last application logger is
// destroyed, after which it is never created again in the process.
//
// Failures: an unwritable log directory ends the process (exit(-123), message on syslog and
// stderr); a missing or unreadable klog.cfg leaves the filter with every trace on; an absent log
// server only makes the reload thread retry.
//
// Lifecycle (KLogManager.cpp keeps it in one place): none -> creating -> running -> ending ->
// ended. The first GetMe(false) creates the manager (a KRemoteLogClient when klog.cfg names a log
// server); the destruction of the last application logger, or GetMe(true), ends it; an ended
// process never gets a second manager. Starting and leaving the reload thread are atomic: any
// number of Initialize/Finalize calls, and the end of logging, may race.
//
// Threading: creation and the end are serialised by one process-wide lock; writer map, logger
// count, server channel and reload thread each have their own lock. A writer's lock may be taken
// while the map lock is held, never the other way round. Destroying the manager while other
// threads are still logging is the application's error.
class DODUDO_API KLogManager {
 public:
  // GetMe(false): the instance, created on first use; none after the end (and a crash.log
  // report). GetMe(true): ends the instance.
  static KLogManager* GetMe(bool terminate);
  // The instance if there is one; neither creates nor reports.
  static KLogManager* Instance();

  // dodudo::Initialize() / Finalize(): start and leave the reload thread of the instance, if any,
  // without racing the end of logging.
  static void AppInitialization();
  static void AppTermination();

  virtual void StartReloadConfigThread();
  virtual ~KLogManager();
  // The writer of a name (null means "klog"), created on first use; owned by the manager.
  virtual KLogWriter* GetWriter(const char* name);

  static KLogWriter* ErrorWriter();
  static KLogger* SelfLogger();
  static void InternalLog(KLogLevel level, const char* format, va_list args);
  static void SetInternalLogOff();
  const char* GetModuleName() const { return moduleName.c_str(); }

  static void NotifyLoggerCreation();
  static void NotifyLoggerDestruction();
  unsigned int LoggerCount();

  void MakeCheckpoint();
  void closeAllOpenLogs();
  void FlushWriters();

  // Stops the reload thread and waits up to 50 s for it. False when it still runs (it did not end
  // within the wait, now or in an earlier call). Any number of callers may leave at once; each
  // returns once the thread has ended.
  bool LeaveReloadThread();
  void RequestReload();
  void RequestKConfigReload();
  void SendRemoteLogRequest(const std::string& request);

  // A filter pushed by the log server: reopen the logs, take its settings (not its callback, and
  // with the size limits raised to the floors below), mark the change in every open log unless
  // it is the first since the thread started, and tell the application.
  void ApplyServerFilter(const KLogFilter& received, bool first);
  static constexpr unsigned long long kMinPushedFileSize = 1048576;       // 1 MiB
  static constexpr unsigned long long kMinPushedTotalSize = 10485760;     // 10 MiB

  KLogFilter* Filter() const { return filter.load(std::memory_order_acquire); }
  // Replaces the filter before the manager is published (the remote client brings its own).
  void SetFilter(KLogFilter* replacement);
  const dodudo::time::KSystemTime& StartTime() const { return startTime; }
  void GetStartTime(dodudo::time::KSystemTime& out) const { out = startTime; }
  // The log directory, "/var/log/tolma/", fixed and tested on first use.
  static const std::string& LogDirectory();

 protected:
  KLogManager();
  // The writer of a key (null name: "klog"), made by `make` under the map lock when missing.
  using WriterMaker = KLogWriter* (*)(const std::string& key, KLogManager* manager);
  KLogWriter* FindOrAddWriter(const char* name, WriterMaker make);
  // Deletes every writer (a derived manager whose writers call back into it does this first).
  void DeleteWriters();
  // Around fork() (a plain manager's own handlers, or a derived manager's, which take its locks
  // too): the forking thread takes the logger count, the writer map and every writer's lock, so
  // the child gets them consistent (no line half written); the parent releases them; the child,
  // where their owner's thread id is gone, initialises them again (it has a single thread then).
  void LockForFork();
  void UnlockAfterFork();
  void RenewLocksInChild();

 private:
  // The reload thread's state, guarded by reloadLock.
  enum class Reload { kIdle, kRunning, kLeaving };

  static void* ReloadConfigThread(void* self);
  void ReloadConfigLoop();
  bool WaitBeforeRetry(int seconds);
  bool EnsureChannel(int& attempt, bool& everConnected, std::string& error);
  void DropChannel();
  bool ReloadWanted();
  static KLogManager* Create();
  static void End();
  // Writers that take a checkpoint: file writers with an open file, remote writers that wrote.
  std::vector<KLogWriter*> OpenWriters();
  void WriteCheckpoint(const std::vector<KLogWriter*>& targets);

  std::atomic<bool> internalLogOff{false};
  unsigned int loggerCount = 0;
  dodudo::KThreadMutex countLock;
  std::mutex reloadLock;
  std::condition_variable reloadEnded;
  Reload reloadState = Reload::kIdle;  // guarded by reloadLock
  KLogServerLink* channel = nullptr;   // guarded by channelLock
  dodudo::KThreadMutex channelLock;
  std::string moduleName;
  std::map<std::string, KLogWriter*> writers;
  dodudo::KThreadMutex writersLock;
  std::atomic<KLogger*> selfLogger{nullptr};
  std::atomic<KLogFilter*> filter{nullptr};
  std::atomic<KLogWriter*> errorWriter{nullptr};
  dodudo::time::KSystemTime startTime;
  unsigned int checkpoint = 0;
  // The fork handlers of a plain manager (a derived one registers its own).
  unsigned long forkHandlers = 0;
};
