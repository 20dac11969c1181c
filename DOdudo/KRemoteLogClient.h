#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/KIPC/GenericRingBuffer.h"
#include "DOdudo/host/KSemaphore.h"

class KLogServerLink;

namespace dodudo {

// The log manager of a process whose klog.cfg names a log server: it writes no log files of its
// own, but ships every line to the server. A line becomes a KLogMessage on a bounded queue of 150
// records; a flush thread sends the queue over a socket channel, a connect thread opens the
// channel when records wait, and a reload thread per connection applies the filters the server
// pushes. Failures of the remote path go to the local klog.log ("fallback" lines).
//
// Queue rules: a lazy record (a trace line of a logger with lazy trace flushing) is kept while at
// most 100 wait and does not wake the flush thread; a prompt record is kept while at most 149
// wait and always wakes it. The newest lines are the ones dropped, never waited for: a log call
// never blocks on the network. Dropped lines are counted; once records flow again one line to
// the server (and one in klog.log) says how many and since when. A record leaves the queue only
// once it has been written to the socket. A line longer than a record carries travels as
// consecutive records whose texts make up the line; they are queued together or not at all.
//
// Server trouble: a refused connection is retried every kRetryMs while records wait; a server
// that breaks the protocol or cannot be trusted (KLogServerLink) is retried after a back-off
// that doubles up to kMaxBackoffMs, and each such episode is noted once in klog.log.
//
// The end: Close() (run by the destructor, at process exit and at unload) gives what is queued
// up to kCloseMs to reach the server (a connection being opened may finish), then stops and
// joins every thread of the client; what is still queued then, and every later line, is written
// to the local log file of its name instead. A process killed by a signal loses what is queued.
//
// Fork: a child starts empty (the parent's queued records are the parent's to send), on a
// connection of its own; its flush thread starts with its first line.
//
// Threading: any thread may log. The flush thread is the queue's only consumer; after Close,
// the closing thread. Destruction waits for every thread of the client before anything is freed.
class DODUDO_API KRemoteLogClient : public KLogManager {
 public:
  static constexpr unsigned int kQueueSize = 150;
  static constexpr unsigned int kLazyLimit = 100;
  // Enumerators, not static data members: an emitted inline variable is a unique symbol, which
  // makes the library impossible to unload (the sanitizer builds emit them).
  enum : int { kRetryMs = 250, kMaxBackoffMs = 16000, kCloseMs = 1000 };

  KRemoteLogClient();
  ~KRemoteLogClient() override;

  void StartReloadConfigThread() override;  // nothing: each connection brings its own
  // The writer of a name (null: "klog"): a KRemoteLogWriter, or a discarding one for "messages".
  KLogWriter* GetWriter(const char* name) override;
  // The local file writer of a name (null: "klog"), for the client's own failures.
  KLogWriter* GetFallbackWriter(const char* name);

  // Queues the line (split into records of at most KRemoteLogWriter::kMaxText characters) by
  // the rules above; after Close writes it to the local file of its name.
  void SendLog(const KLogMessage& record, bool lazy);
  // Starts a connect thread unless one runs, a channel exists or a retry is not due yet.
  void TryConnect();
  // See "The end" above. Idempotent; later callers wait for the first.
  void Close(std::chrono::milliseconds budget = std::chrono::milliseconds(kCloseMs));

  unsigned int Waiting() const;
  bool Connected();

 private:
  static void* FlushQueueThread(void* self);
  static void* ConnectThread(void* self);
  static void* ReloadConfigThread(void* self);
  bool Spawn(void* (*routine)(void*));
  void ThreadEnded();
  void JoinEnded();
  void Drain();
  bool ReportDropped(KLogServerLink& link);
  void ReloadLoop(const std::shared_ptr<KLogServerLink>& link);
  // A protocol error or an untrusted server: back off, and say so once per episode.
  void Trouble(const std::string& note);
  int FlushWaitMs();
  void WriteLocally(const KLogMessage& record);
  void Fallback(const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void PrepareFork(void* self);
  static void AfterForkInParent(void* self);
  static void AfterForkInChild(void* self);

  std::map<std::string, KLogWriter*> fallbackWriters_;  // guarded by fallbackLock_
  std::mutex fallbackLock_;

  std::shared_ptr<KLogServerLink> channel_;  // guarded by connectionLock_
  bool connecting_ = false;                  // guarded by connectionLock_
  // Back-off after trouble, guarded by connectionLock_.
  std::chrono::steady_clock::time_point nextAttempt_{};
  int backoffMs_ = 0;
  bool troubleNoted_ = false;
  std::mutex connectionLock_;

  // The queue: producers add under queueLock_ (the ring has one producer side), the flush thread
  // alone takes. Slots keep their strings' storage, so queueing a line allocates nothing once a
  // slot has carried a line as long.
  GenericRingBuffer<KLogMessage> queue_;
  std::mutex queueLock_;
  // Replaced (the old one left) in a forked child, where the parent's flush thread may have been
  // inside it.
  std::unique_ptr<KSemaphore> queueSemaphore_;
  std::vector<KLogMessage> pieces_;   // a long line being queued; guarded by queueLock_
  unsigned long long dropped_ = 0;    // guarded by queueLock_
  std::string droppedSince_;          // local time of the first drop; guarded by queueLock_
  std::atomic<bool> closed_{false};   // lines go to local files
  std::string batch_;                 // the flush thread's frames being sent
  std::atomic<bool> needFlushThread_{false};  // a forked child starts its own on its first line

  unsigned long forkHandlers_ = 0;
  std::mutex closeLock_;  // one Close at a time
  std::atomic<bool> stop_{false};
  // Every thread of the client not yet joined, and those that have ended.
  std::vector<pthread_t> threads_;  // guarded by threadsLock_
  std::vector<pthread_t> ended_;    // guarded by threadsLock_
  std::mutex threadsLock_;
  std::condition_variable threadsChanged_;
};

}  // namespace dodudo
