#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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
// wait and wakes it. Records beyond that are dropped, never waited for: a log call never blocks
// on the network. A record leaves the queue only once it has been written to the socket.
//
// Threading: any thread may log. The flush thread is the queue's only consumer. Destruction
// stops every thread of the client and waits for them before anything is freed; records still
// queued then are given a last chance to go out when a connection exists.
class DODUDO_API KRemoteLogClient : public KLogManager {
 public:
  static constexpr unsigned int kQueueSize = 150;
  static constexpr unsigned int kLazyLimit = 100;

  KRemoteLogClient();
  ~KRemoteLogClient() override;

  void StartReloadConfigThread() override;  // nothing: each connection brings its own
  // The writer of a name (null: "klog"): a KRemoteLogWriter, or a discarding one for "messages".
  KLogWriter* GetWriter(const char* name) override;
  // The local file writer of a name (null: "klog"), for the client's own failures.
  KLogWriter* GetFallbackWriter(const char* name);

  // Queues a copy of the record by the rules above.
  void SendLog(const KLogMessage& record, bool lazy);
  // Starts a connect thread unless one runs.
  void TryConnect();

  unsigned int Waiting() const;
  bool Connected();

 private:
  static void* FlushQueueThread(void* self);
  static void* ConnectThread(void* self);
  static void* ReloadConfigThread(void* self);
  bool Spawn(void* (*routine)(void*));
  void ThreadEnded();
  void Drain();
  void ReloadLoop(const std::shared_ptr<KLogServerLink>& link);
  void Fallback(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::map<std::string, KLogWriter*> fallbackWriters_;  // guarded by fallbackLock_
  std::mutex fallbackLock_;

  std::shared_ptr<KLogServerLink> channel_;  // guarded by connectionLock_
  bool connecting_ = false;                  // guarded by connectionLock_
  std::mutex connectionLock_;

  // The queue: producers add under queueLock_ (the ring has one producer side), the flush thread
  // alone takes. Slots keep their strings' storage, so queueing a line allocates nothing once a
  // slot has carried a line as long.
  GenericRingBuffer<KLogMessage> queue_;
  std::mutex queueLock_;
  KSemaphore queueSemaphore_;
  std::string batch_;  // the flush thread's frames being sent

  std::atomic<bool> stop_{false};
  // The client's threads still running; destruction waits until it is 0.
  int threads_ = 0;  // guarded by threadsLock_
  std::mutex threadsLock_;
  std::condition_variable threadsEnded_;
  std::atomic<bool> flushEnded_{false};
};

}  // namespace dodudo
