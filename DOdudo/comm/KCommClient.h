#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>

#include "DOdudo/KLogger.h"
#include "DOdudo/LB9/KIPC/KBufferedSocketIPC.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KEnvelope.h"
#include "DOdudo/comm/KHelloMsg.h"
#include "DOdudo/host/KNoticeLimiter.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KSemaphore.h"
#include "DOdudo/host/KThreadMutex.h"
#include "DOdudo/host/NonCopyable.h"

namespace comm {

// Connects an application to a comm server: checks the server's hello, identifies itself, keeps
// the connection alive and reconnects when it fails. Commands and queries are synchronous (one at
// a time; failures are logged and reported as 13, never thrown). Envelopes the server pushes are
// queued and handed to the event callback on the event thread, or fetched with
// GetNextAsyncMessage. A lost connection queues CONN_FAIL, a restored one RECONNECTED (and asks
// for broadcasts again when they had been asked for).
//
// Threads: the message thread (started by the first successful Connect) reads the connection and
// reconnects; the event thread (started by the first non-null callback) runs the callback under
// the client mutex. A callback may send commands and queries. Every public operation may be called
// from any thread. The destructor shuts the client down and waits for both threads to end. Every
// live client is in _InstanceList, so that NotifyAppTermination can shut them all down.
class DODUDO_API KCommClient : public NonCopyable {
 public:
  using EventCallback = void (*)(KCommClient* client, KEnvelope& event, unsigned int count);

  // Logs to /var/log/tolma/<module>.log as "COMMCLI". With buffered, commands travel through a
  // KBufferedSocketIpcChannel with the given options, else through a plain KSocketIpcChannel.
  explicit KCommClient(const char* module = "commclient", bool buffered = false,
                       const dodudo::KBufferedSocketOptions& options = DefaultBufferedOptions());
  virtual ~KCommClient();

  // Connects and identifies, retrying failed attempts (2.5 s apart for the first four, then 5 s
  // with fastRetry or 10 s) until timeoutMs have passed (0xFFFFFFFF: without limit), after which
  // the last failure is rethrown. A server that is not the one expected (KCommHandshakeError) is
  // refused at once. Returns at once without connecting when the client is shutting down.
  void Connect(dodudo::kstring name, dodudo::kstring host, unsigned int port,
               KHelloMsg::KServiceId service, unsigned int major, unsigned int minor,
               unsigned int build, unsigned int timeoutMs, bool fastRetry);
  void Connect(dodudo::kstring name, dodudo::kstring host, unsigned int port,
               const KHelloMsg& expected, unsigned int timeoutMs, bool fastRetry);
  void Reconnect();

  int SendCommand(unsigned char module, unsigned int code, unsigned int g, unsigned int i,
                  const dodudo::KSerializable& payload);
  int SendCommand(KEnvelope& envelope);
  int SendCommand(KEnvelope& envelope, dodudo::KSerializable& reply);
  int Query(unsigned char g, dodudo::kstring question, dodudo::kstring& answer);

  void RequestEvents(EventCallback callback, bool broadcasts);
  // A null callback pauses delivery (events stay queued for GetNextAsyncMessage); a later one
  // resumes it. A callback may delete its client: the destructor then does not wait for the
  // event thread, which leaves without touching the client again.
  void SetEventCallback(EventCallback callback);
  // At most kMaxQueuedEvents wait in the queue: beyond that, events from the server are dropped
  // (the newest, counted by GetDroppedEventCount); CONN_FAIL and RECONNECTED are always queued.
  // The oldest queued event, waiting up to timeoutMs (0xFFFFFFFF: without limit). false on
  // timeout or while shutting down. count is left unchanged.
  bool GetNextAsyncMessage(KEnvelope& out, unsigned int& count, unsigned int timeoutMs);
  void EnqueueEvent(KEnvelope& envelope);

  // Only the first call acts.
  void Shutdown();
  static void NotifyAppTermination();
  void CheckForWindowsThreadTermination(bool& waitEvents, bool& waitMessages);

  static void* StartHandleRemoteMessagesThread(void* client);
  static void* StartProcessEventsThread(void* client);

  void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));

  dodudo::kstring GetConnectionId();
  unsigned int GetConnectionCount() const { return connectionCount_; }
  // Server events dropped because kMaxQueuedEvents were waiting (each drop is also logged, at
  // most once a second, as "Event queue full").
  unsigned int GetDroppedEventCount() const { return droppedEvents_; }
  static constexpr size_t kMaxQueuedEvents = 4096;
  bool IsShuttingDown() const { return shuttingDown_; }
  KCommChannel& GetChannel() { return channel_; }
  KLogger& GetLogger() { return logger_; }

  static dodudo::KBufferedSocketOptions DefaultBufferedOptions();

 private:
  void HandleRemoteMessages();
  // false when the callback deleted the client.
  bool ProcessEvents();
  void Identify(uint32_t service, const dodudo::kstring& name);
  // Logs a failed command, at most once a second.
  void CommandFailed(const std::exception& e);
  void SendBroadcastRequest(bool broadcasts);
  // A connected IPC channel to host and port, the connect bounded by limitMs and cancelled by
  // Shutdown (a cancelled one throws KSocketException).
  dodudo::KIpcChannel* OpenChannel(const dodudo::kstring& host, unsigned int port, unsigned int limitMs);
  // Sleeps steps × 500 ms, returning false early when shutting down.
  bool Pause(unsigned int steps);

  void* messageThread_;
  void* eventThread_;
  KLogger logger_;
  dodudo::kstring connectionId_;  // guarded by mutex_
  KCommChannel channel_;
  std::atomic<bool> shuttingDown_;
  std::atomic<bool> firstConnection_;
  bool broadcastsRequested_;  // guarded by mutex_
  // The last successful connection, for Reconnect; guarded by mutex_.
  dodudo::kstring name_;
  dodudo::kstring host_;
  unsigned int port_;
  KHelloMsg serverHello_;
  std::atomic<unsigned int> connectionCount_;
  EventCallback callback_;  // guarded by mutex_
  dodudo::KThreadMutex mutex_;
  bool buffered_;
  dodudo::KBufferedSocketOptions options_;
  std::atomic<bool> messageThreadFinished_;
  std::atomic<bool> messageThreadExited_;
  std::atomic<bool> eventThreadExited_;
  dodudo::KSemaphore eventThreadFinished_;
  // The queue has a lock of its own: the message thread must never wait for a callback (which
  // may itself wait for a reply that only the message thread can receive).
  std::mutex queueMutex_;
  std::condition_variable eventsReady_;  // an event was queued, or shutting down
  std::list<KEnvelope> events_;          // guarded by queueMutex_
  std::atomic<bool> armed_;              // a callback is set; written under both mutexes
  std::atomic<unsigned int> droppedEvents_;
  // The socket a Connect attempt is connecting, for Shutdown to cancel; guarded by its mutex.
  std::mutex connectingMutex_;
  dodudo::KTcpSocket* connecting_;
  dodudo::KNoticeLimiter commandNotices_;
  dodudo::KNoticeLimiter queueNotices_;

  static std::list<KCommClient*> _InstanceList;
  static dodudo::KThreadMutex _InstListMutex;
};

}  // namespace comm
