#include "DOdudo/comm/KCommClient.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdarg>

#include "DOdudo/LB9/Basics/KBaseSocket.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/comm/KCommChannelKeepAlive.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KMutex.h"
#include "DOdudo/host/KThread.h"

namespace comm {

using dodudo::KScopedLock;
using dodudo::kstring;

namespace {

constexpr unsigned int kForever = 0xFFFFFFFFu;
constexpr unsigned int kRetryStepMs = 500;
// A server that accepts but stays silent, or stops in the middle of a frame, must not hold
// Connect beyond its own time limit (nor the message thread's reconnection for ever).
constexpr unsigned int kHandshakeWaitMs = 10000;
// A peer that stops reading ends the connection after this long, so that a command (and the
// message thread answering a keep-alive) never waits on a write for ever.
constexpr unsigned int kWriteWaitMs = 10000;
constexpr unsigned int kNoticePeriodMs = 1000;
// A host that drops connection requests holds connect() for the kernel's two minutes: an attempt
// gives up earlier (and within Connect's own limit) and the next one starts after the pause.
constexpr unsigned int kConnectWaitMs = 10000;

// The client whose event callback runs on this thread, and whether the callback deleted it.
struct CallbackScope {
  KCommClient* client = nullptr;
  bool deleted = false;
};
thread_local CallbackScope callbackScope;
constexpr unsigned int kKeepAliveIdleMs = 5000;
constexpr unsigned int kKeepAlivePeriodMs = 2000;

dodudo::KTcpSocket* SocketOf(dodudo::KIpcChannel* ipc) {
  auto* receiver = dynamic_cast<dodudo::KSocketReceiver*>(ipc->GetReceiver());
  return receiver != nullptr ? receiver->GetSocket() : nullptr;
}

}  // namespace

std::list<KCommClient*> KCommClient::_InstanceList;
dodudo::KThreadMutex KCommClient::_InstListMutex;

dodudo::KBufferedSocketOptions KCommClient::DefaultBufferedOptions() {
  return dodudo::KBufferedSocketOptions();
}

KCommClient::KCommClient(const char* module, bool buffered,
                         const dodudo::KBufferedSocketOptions& options)
    : messageThread_(nullptr),
      eventThread_(nullptr),
      logger_(klogZ7MClient, klogZ7MClientComm, "COMMCLI", module, KLogger::KLOG_SHOW_NAME, false),
      channel_(logger_),
      shuttingDown_(false),
      firstConnection_(true),
      broadcastsRequested_(false),
      port_(0),
      connectionCount_(0),
      callback_(nullptr),
      buffered_(buffered),
      options_(options),
      messageThreadFinished_(false),
      messageThreadExited_(false),
      eventThreadExited_(false),
      eventThreadFinished_(1),
      armed_(false),
      droppedEvents_(0),
      connecting_(nullptr),
      commandNotices_(kNoticePeriodMs),
      queueNotices_(kNoticePeriodMs) {
  KScopedLock lock(_InstListMutex);
  _InstanceList.push_back(this);
}

KCommClient::~KCommClient() {
  // Deleted by its own event callback: the event thread holds the client mutex (released here so
  // that the message thread, which may need it, can end) and must not touch the client again.
  const bool fromCallback = callbackScope.client == this;
  if (fromCallback) {
    callbackScope.deleted = true;
    mutex_.Unlock();
  }
  {
    KScopedLock lock(_InstListMutex);
    _InstanceList.remove(this);
  }
  Shutdown();
  // Both threads use this object until their very last statement.
  if (eventThread_ != nullptr) {
    while (!fromCallback && !eventThreadExited_) KHostSystem::Delay(5);
    dodudo::KThread::CloseThreadHandle(eventThread_);
  }
  if (messageThread_ != nullptr) {
    while (!messageThreadExited_) KHostSystem::Delay(5);
    dodudo::KThread::CloseThreadHandle(messageThread_);
  }
}

void KCommClient::Log(KLogLevel level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  logger_.vLog(level, format, args);
  va_end(args);
}

kstring KCommClient::GetConnectionId() {
  KScopedLock lock(mutex_);
  return connectionId_;
}

void KCommClient::Connect(kstring name, kstring host, unsigned int port,
                          KHelloMsg::KServiceId service, unsigned int major, unsigned int minor,
                          unsigned int build, unsigned int timeoutMs, bool fastRetry) {
  Connect(name, host, port, KHelloMsg(service, major, minor, build), timeoutMs, fastRetry);
}

dodudo::KIpcChannel* KCommClient::OpenChannel(const kstring& host, unsigned int port,
                                              unsigned int limitMs) {
  auto socket = std::make_unique<dodudo::KClientSocket>();
  socket->SetConnectWaitTime(limitMs);
  {
    std::lock_guard<std::mutex> lock(connectingMutex_);
    if (shuttingDown_) return nullptr;
    connecting_ = socket.get();
  }
  struct Unregister {
    KCommClient& client;
    ~Unregister() {
      std::lock_guard<std::mutex> lock(client.connectingMutex_);
      client.connecting_ = nullptr;
    }
  } unregister{*this};
  socket->Open(host.c_str(), static_cast<unsigned short>(port));
  if (buffered_) return new dodudo::KBufferedSocketIpcChannel(std::move(socket), options_);
  auto* ipc = new dodudo::KSocketIpcChannel(socket.get());
  socket.release();
  return ipc;
}

bool KCommClient::Pause(unsigned int steps) {
  for (unsigned int step = 0; step < steps; ++step) {
    if (shuttingDown_) return false;
    KHostSystem::Delay(kRetryStepMs);
  }
  return true;
}

void KCommClient::Connect(kstring name, kstring host, unsigned int port, const KHelloMsg& expected,
                          unsigned int timeoutMs, bool fastRetry) {
  const unsigned int start = KHostSystem::GetTick();
  if (shuttingDown_) return;
  for (unsigned int attempt = 1;; ++attempt) {
    logger_.Notice("Connecting to [%s:%d], attempt %d", host.c_str(), port, attempt);
    if (firstConnection_) logger_.SetIdentity(name);
    try {
      unsigned int connectMs = kConnectWaitMs;
      if (timeoutMs != kForever) {
        const unsigned int elapsed = KHostSystem::GetTick() - start;
        connectMs = std::min(connectMs, elapsed < timeoutMs ? timeoutMs - elapsed : 1u);
      }
      dodudo::KIpcChannel* ipc = OpenChannel(host, port, connectMs);
      if (ipc == nullptr) return;  // shutting down
      kstring localHost, remoteHost;
      unsigned short localPort = 0, remotePort = 0;
      // Not installed yet: this thread alone can reach the socket.
      if (dodudo::KTcpSocket* socket = SocketOf(ipc)) {
        socket->SetWriteWaitTime(kWriteWaitMs);
        try {
          socket->GetLocalAddress(localHost, localPort);
          socket->GetRemoteAddress(remoteHost, remotePort);
        } catch (...) {
          delete ipc;
          throw;
        }
      }

      // One deadline over every read of the handshake, hello and identity alike.
      unsigned int waitMs = kHandshakeWaitMs;
      if (timeoutMs != kForever) {
        unsigned int elapsed = KHostSystem::GetTick() - start;
        waitMs = elapsed < timeoutMs ? timeoutMs - elapsed : 0;
        if (waitMs > kHandshakeWaitMs) waitMs = kHandshakeWaitMs;
      }
      channel_.SetConnection(ipc, waitMs);
      // A Shutdown that came before the connection was installed found nothing to end.
      if (shuttingDown_) {
        channel_.ClearConnection();
        return;
      }
      KEnvelope greeting;
      if (!channel_.Receive(greeting))
        throw KCommHandshakeError(
            "Expected message (hello) not received, aborting connection to Server [%d]",
            static_cast<int>(expected.ServiceId));
      if (greeting.GetModule() != COMM_MODULE || greeting.GetCode() != COMM_HELLOV2)
        throw KCommHandshakeError("Invalid hello msg (%s)", greeting.Description().c_str());
      KHelloMsg hello;
      greeting.GetPayload(hello);
      if (hello.ServiceId != expected.ServiceId)
        throw KCommHandshakeError("Invalid Server id: %d, expected: %d",
                                  static_cast<int>(hello.ServiceId),
                                  static_cast<int>(expected.ServiceId));
      if (hello.Major != expected.Major || hello.Minor != expected.Minor)
        throw KCommHandshakeError("Version incompatibility, server: %d.%d, expected: %d.%d",
                                  hello.Major, hello.Minor, expected.Major, expected.Minor);
      if (hello.Build != expected.Build)
        logger_.Trace("Running under different builds, server %d.%d.%d, client: %d.%d.%d",
                      hello.Major, hello.Minor, hello.Build, expected.Major, expected.Minor,
                      expected.Build);
      logger_.Info("Connected from %s:%d to %s %s:%d", localHost.c_str(), localPort,
                   hello.ServiceName(), remoteHost.c_str(), remotePort);

      Identify(expected.ServiceId, name);
      channel_.Open();

      KScopedLock lock(mutex_);
      if (shuttingDown_) {
        channel_.ClearConnection();
        return;
      }
      if (firstConnection_) {
        messageThread_ =
            dodudo::KThread::StartThread(StartHandleRemoteMessagesThread, this, 0, false, false, 0);
        firstConnection_ = false;
      }
      name_ = name;
      host_ = host;
      port_ = port;
      serverHello_ = hello;
      return;
    } catch (const KCommHandshakeError& e) {
      channel_.ClearConnection();
      // Shutdown ended the handshake: nothing to report.
      if (shuttingDown_) return;
      logger_.Notice("KCommClient handshake failed [%s]", e.what());
      throw;
    } catch (const std::exception& e) {
      logger_.Notice("Failed to connect to server [%s]", e.what());
      channel_.ClearConnection();
      unsigned int steps = attempt <= 4 ? 5 : (fastRetry ? 10 : 20);
      for (unsigned int step = 0; step < steps; ++step) {
        if (shuttingDown_) return;
        if (timeoutMs != kForever && KHostSystem::GetTick() - start > timeoutMs) throw;
        KHostSystem::Delay(kRetryStepMs);
      }
    }
  }
}

void KCommClient::Identify(uint32_t service, const kstring& name) {
  kstring identity = dodudo::fstring("%s-%u", name.c_str(), connectionCount_.load());
  KEnvelope request(COMM_MODULE, COMM_REMOTE_ID, -1, -1, identity);
  channel_.SendHandshake(request);
  KEnvelope answer;
  if (!channel_.Receive(answer) || answer.GetModule() != COMM_MODULE ||
      answer.GetCode() != COMM_REMOTE_ID)
    throw KCommRequestError(
        "Expected message (remote_id) not received, aborting connection to Server [%d]",
        static_cast<int>(service));
  kstring assigned;
  answer.GetPayload(assigned);
  ++connectionCount_;
  logger_.Notice("Connection id changing to (%s)", assigned.c_str());
  logger_.SetIdentity(assigned);
  KScopedLock lock(mutex_);
  connectionId_ = assigned;
}

void KCommClient::Reconnect() {
  try {
    channel_.ClearConnection();
    kstring name, host;
    unsigned int port;
    KHelloMsg hello;
    {
      KScopedLock lock(mutex_);
      name = name_;
      host = host_;
      port = port_;
      hello = serverHello_;
    }
    Connect(name, host, port, hello, kForever, false);
    if (shuttingDown_) return;
    bool broadcasts;
    {
      KScopedLock lock(mutex_);
      broadcasts = broadcastsRequested_;
    }
    if (broadcasts) SendBroadcastRequest(true);
    KEnvelope restored(COMM_MODULE, COMM_RECONNECTED, 0, 0);
    EnqueueEvent(restored);
  } catch (const std::exception& e) {
    logger_.Error("Unexpected exception cleaning connection [%s]", e.what());
  }
}

void KCommClient::SendBroadcastRequest(bool broadcasts) {
  KEnvelope request(COMM_MODULE, COMM_REQ_BROADCASTS, -1, -1, dodudo::KPlainData<bool>(broadcasts));
  channel_.Send(request);
}

int KCommClient::SendCommand(unsigned char module, unsigned int code, unsigned int g,
                             unsigned int i, const dodudo::KSerializable& payload) {
  try {
    KEnvelope envelope(module, static_cast<uint16_t>(code), static_cast<int32_t>(g),
                       static_cast<int32_t>(i), payload);
    return SendCommand(envelope);
  } catch (const std::exception& e) {
    CommandFailed(e);
    return COMM_RESULT_FAIL;
  }
}

void KCommClient::CommandFailed(const std::exception& e) {
  unsigned int held = 0;
  if (!commandNotices_.Allow(held)) return;
  if (held == 0)
    logger_.Notice("Exception [%s] sending command", e.what());
  else
    logger_.Notice("Exception [%s] sending command (%u more since the last such line)", e.what(),
                   held);
}

int KCommClient::SendCommand(KEnvelope& envelope) {
  dodudo::KEmptyData empty;
  return SendCommand(envelope, empty);
}

int KCommClient::SendCommand(KEnvelope& envelope, dodudo::KSerializable& reply) {
  logger_.Trace("CMD %d mod=%d (%d, %d)", envelope.GetCode(), envelope.GetModule(), envelope.GetG(),
                envelope.GetI());
  int result;
  try {
    result = channel_.SyncMessage(envelope, reply);
  } catch (const std::exception& e) {
    CommandFailed(e);
    result = COMM_RESULT_FAIL;
  }
  if (logger_.IsActive(klogTrace))
    logger_.Trace("Command [%s] returned %d", envelope.Description().c_str(), result);
  return result;
}

int KCommClient::Query(unsigned char g, kstring question, kstring& answer) {
  try {
    KEnvelope envelope(COMM_MODULE, COMM_QUERY, g, 0, question);
    int result = channel_.SyncMessage(envelope, answer);
    logger_.Trace("Query env %d result %d answer [%s]", envelope.GetPacketId(), result,
                  answer.c_str());
    return result;
  } catch (const std::exception& e) {
    logger_.Warning("Exception [%s] on query", e.what());
    return COMM_RESULT_FAIL;
  }
}

void KCommClient::RequestEvents(EventCallback callback, bool broadcasts) {
  SetEventCallback(callback);
  {
    KScopedLock lock(mutex_);
    broadcastsRequested_ = broadcasts;
  }
  try {
    SendBroadcastRequest(broadcasts);
  } catch (const std::exception& e) {
    logger_.Notice("Could not request broadcast(%s) [%s]", broadcasts ? "true" : "false", e.what());
  }
}

void KCommClient::SetEventCallback(EventCallback callback) {
  KScopedLock lock(mutex_);
  callback_ = shuttingDown_ ? nullptr : callback;
  {
    std::lock_guard<std::mutex> queue(queueMutex_);
    armed_ = callback_ != nullptr;
  }
  eventsReady_.notify_all();
  // The event thread outlives a null callback, so a later callback is called again.
  if (callback_ != nullptr && eventThread_ == nullptr)
    eventThread_ = dodudo::KThread::StartThread(StartProcessEventsThread, this, 0, false, false, 0);
}

bool KCommClient::GetNextAsyncMessage(KEnvelope& out, unsigned int&, unsigned int timeoutMs) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  auto ready = [this] { return !events_.empty() || shuttingDown_; };
  if (timeoutMs == kForever)
    eventsReady_.wait(lock, ready);
  else if (!eventsReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
    return false;
  if (shuttingDown_) return false;
  out = events_.front();
  events_.pop_front();
  return true;
}

void KCommClient::EnqueueEvent(KEnvelope& envelope) {
  // The connection's own CONN_FAIL and RECONNECTED always enter: the application must learn of
  // them however far behind it is.
  const bool local = envelope.GetModule() == COMM_MODULE &&
                     (envelope.GetCode() == COMM_CONN_FAIL || envelope.GetCode() == COMM_RECONNECTED);
  size_t queued;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued = events_.size();
    if (queued < kMaxQueuedEvents || local) events_.push_back(envelope);
  }
  if (queued >= kMaxQueuedEvents && !local) {
    const unsigned int dropped = ++droppedEvents_;
    unsigned int held = 0;
    if (queueNotices_.Allow(held))
      logger_.Warning("Event queue full (%u events): event %s dropped, %u dropped so far",
                      static_cast<unsigned int>(queued), envelope.Description().c_str(), dropped);
    return;
  }
  eventsReady_.notify_all();
}
void KCommClient::Shutdown() {
  bool expected = false;
  if (!shuttingDown_.compare_exchange_strong(expected, true)) return;
  logger_.Notice("Shutting connection down...");
  {
    // A Connect attempt still waiting for the server ends now, not when the kernel gives up.
    std::lock_guard<std::mutex> lock(connectingMutex_);
    if (connecting_ != nullptr) connecting_->SignalFinalization();
  }
  {
    // Taken so that no waiter can miss the flag between its test and its wait.
    std::lock_guard<std::mutex> lock(queueMutex_);
  }
  eventsReady_.notify_all();
  bool waitEvents = false, waitMessages = false;
  CheckForWindowsThreadTermination(waitEvents, waitMessages);
  // The event thread itself (a callback shutting its client down) cannot wait for its own end.
  if (callbackScope.client == this) waitEvents = false;
  if (waitEvents && !eventThreadFinished_.Wait(2000))
    logger_.Notice("Could not release dispatch event thread");
  channel_.Terminate(waitMessages);
}

void KCommClient::CheckForWindowsThreadTermination(bool& waitEvents, bool& waitMessages) {
  waitMessages = true;
  KScopedLock lock(mutex_);
  waitEvents = eventThread_ != nullptr && !eventThreadExited_;
  if (messageThread_ == nullptr) channel_.SignTermination();
}

void KCommClient::NotifyAppTermination() {
  KScopedLock lock(_InstListMutex);
  for (KCommClient* client : _InstanceList) client->Shutdown();
}

void* KCommClient::StartHandleRemoteMessagesThread(void* argument) {
  auto* client = static_cast<KCommClient*>(argument);
  client->HandleRemoteMessages();
  client->logger_.Notice("Msg thread signaling termination");
  client->channel_.SignTermination();
  client->messageThreadExited_ = true;  // the last use of the client
  return nullptr;
}

void KCommClient::HandleRemoteMessages() {
  dodudo::KThread::SetPriority(3);
  {
    KCommChannelKeepAlive keepAlive(channel_, true, kKeepAliveIdleMs, kKeepAlivePeriodMs);
    while (!shuttingDown_) {
      try {
        bool wasConnected = channel_.IsConnected();
        KEnvelope envelope;
        if (channel_.Receive(envelope)) {
          EnqueueEvent(envelope);
          continue;
        }
        if (shuttingDown_) {
          logger_.Notice("Client connection closed, leaving thread");
          break;
        }
        keepAlive.Stop();
        if (wasConnected) {
          logger_.Notice("Client connection fail, trying to reconnect");
          KEnvelope failure(COMM_MODULE, COMM_CONN_FAIL, 0, 0);
          EnqueueEvent(failure);
        } else if (!Pause(20)) {
          // The last reconnection was refused (a handshake error ends Reconnect): try again
          // later instead of hammering the server, without another CONN_FAIL.
          continue;
        }
        Reconnect();
        if (channel_.IsConnected()) keepAlive.Start();
      } catch (const std::exception& e) {
        logger_.Warning("Unexpected exception [%s] in %s", e.what(), "HandleRemoteMessages");
      } catch (...) {
        logger_.Error("Unknown exception in %s", "HandleRemoteMessages");
      }
    }
    messageThreadFinished_ = true;
  }
}

void* KCommClient::StartProcessEventsThread(void* argument) {
  auto* client = static_cast<KCommClient*>(argument);
  // false: the callback deleted the client, which is gone.
  if (!client->ProcessEvents()) return nullptr;
  client->eventThreadFinished_.Release();
  client->eventThreadExited_ = true;  // the last use of the client
  return nullptr;
}

bool KCommClient::ProcessEvents() {
  dodudo::KThread::SetPriority(2);
  for (;;) {
    try {
      {
        std::unique_lock<std::mutex> queue(queueMutex_);
        eventsReady_.wait(queue, [this] { return shuttingDown_ || (armed_ && !events_.empty()); });
        if (shuttingDown_) break;
      }
      // The client mutex first, then the queue: the event is taken only when a callback is still
      // there to get it.
      mutex_.Lock();
      KEnvelope envelope;
      bool got = false;
      {
        std::lock_guard<std::mutex> queue(queueMutex_);
        if (callback_ != nullptr && !events_.empty()) {
          envelope = events_.front();
          events_.pop_front();
          got = true;
        }
      }
      if (got) {
        callbackScope.client = this;
        callbackScope.deleted = false;
        try {
          callback_(this, envelope, 0);
        } catch (...) {
          callbackScope.client = nullptr;
          if (callbackScope.deleted) return false;
          mutex_.Unlock();
          throw;
        }
        callbackScope.client = nullptr;
        if (callbackScope.deleted) return false;
      }
      mutex_.Unlock();
    } catch (const std::exception& e) {
      logger_.Warning("Unexpected exception [%s] in %s", e.what(), "ProcessEvents");
    } catch (...) {
      logger_.Error("Unknown exception in %s", "ProcessEvents");
    }
  }
  logger_.Notice("Leaving event thread");
  return true;
}

}  // namespace comm
