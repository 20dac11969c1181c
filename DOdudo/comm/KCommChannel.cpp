#include "DOdudo/comm/KCommChannel.h"

#include <unistd.h>

#include <chrono>

#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/Basics/KSocketException.h"
#include "DOdudo/LB9/KIPC/KBufferedSocketIPC.h"
#include "DOdudo/LB9/KIPC/KIpcChannel.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KMutex.h"

namespace comm {

using dodudo::KScopedLock;

namespace {

// How long a requester watches for its reply before it sleeps; never on a single processor,
// where watching would only keep the replying thread from running.
constexpr int kReplySpinMicros = 50;
const bool kSpinning = sysconf(_SC_NPROCESSORS_ONLN) > 1;

inline void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
  asm volatile("pause");
#endif
}

// How long a requester reads the socket itself (or waits for the receiving thread to let it)
// before it hands reading back and waits for its reply the ordinary way.
constexpr auto kOwnReadWindow = std::chrono::milliseconds(20);
// How long the socket stays with requesters after one has read its reply.
constexpr auto kRequesterLinger = std::chrono::milliseconds(1);
// Frames a requester may hand over before it lets the receiving thread catch up.
constexpr size_t kMaxHandedOver = 256;

constexpr unsigned int kSemaphoreMaximum = 0x100000;
constexpr unsigned int kSyncTimeoutMs = 30000;
constexpr unsigned int kTerminationTimeoutMs = 30000;
constexpr unsigned int kRefusalLogPeriodMs = 1000;

dodudo::KTcpSocket* SocketOf(dodudo::KIpcChannel* ipc) {
  auto* receiver = dynamic_cast<dodudo::KSocketReceiver*>(ipc->GetReceiver());
  return receiver != nullptr ? receiver->GetSocket() : nullptr;
}

// Read side of the connection lock for one scope.
class ConnectionReader {
 public:
  explicit ConnectionReader(KReadWriteLock& lock) : lock_(lock) { lock_.LockReader(); }
  ~ConnectionReader() { lock_.UnlockReader(); }
  ConnectionReader(const ConnectionReader&) = delete;
  ConnectionReader& operator=(const ConnectionReader&) = delete;

 private:
  KReadWriteLock& lock_;
};

std::atomic<int> nextChannelId{0};

}  // namespace

KCommChannel::KCommChannel(KLogger& logger)
    : ipc_(nullptr),
      terminationSemaphore_(kSemaphoreMaximum),
      terminationSignalled_(false),
      receiverSeen_(false),
      logger_(logger),
      lastReceiveTick_(0),
      waiting_(false),
      expectedId_(0),
      receiveEnded_(false),
      answered_(false),
      open_(false),
      receiverReading_(false),
      requesterWants_(false),
      requesterReading_(false),
      handedUnfinished_(0),
      handedTaken_(false),
      refusals_(kRefusalLogPeriodMs) {
  if (!AreMessageStringsRegistered(COMM_MODULE))
    RegisterMessageStrings(COMM_MODULE, "COMM  ", 12, MessageIdStringsComm, 12,
                           MessageIdStringsComm);
}

KCommChannel::~KCommChannel() {
  destroyCallbacks_.Call(this);
  Terminate(true);
  // After a termination timeout the connection is still installed; drop it all the same.
  ClearConnection();
}

void KCommChannel::SetConnection(dodudo::KIpcChannel* ipc) {
  SetConnection(ipc, dodudo::KTcpSocket::kWaitForever);
}

void KCommChannel::SetConnection(dodudo::KIpcChannel* ipc, unsigned int handshakeMs) {
  const bool handshake = ipc != nullptr && handshakeMs != dodudo::KTcpSocket::kWaitForever;
  // Not installed yet: nobody else can reach the socket.
  if (dodudo::KTcpSocket* socket = ipc != nullptr ? SocketOf(ipc) : nullptr) {
    socket->EnableReaderWake();
    if (handshake) socket->SetReadDeadline(handshakeMs);
  }
  if (ipc != nullptr) {
    // Frames a requester read from an earlier connection must not reach this one's handshake.
    std::lock_guard<std::mutex> role(roleMutex_);
    handedOver_.clear();
    handedUnfinished_ = 0;
  }
  dodudo::KIpcChannel* old;
  connectionLock_.LockWriter();
  old = ipc_;
  ipc_ = ipc;
  open_ = ipc != nullptr && !handshake;
  connectionLock_.UnlockWriter();
  delete old;
  std::lock_guard<std::mutex> lock(resultMutex_);
  receiveEnded_ = false;
}

void KCommChannel::Open() {
  ConnectionReader reader(connectionLock_);
  if (ipc_ == nullptr) return;
  if (dodudo::KTcpSocket* socket = SocketOf(ipc_))
    socket->SetReadDeadline(dodudo::KTcpSocket::kWaitForever);
  open_ = true;
}

bool KCommChannel::IsConnected() {
  ConnectionReader reader(connectionLock_);
  return ipc_ != nullptr;
}

dodudo::KIpcChannel* KCommChannel::GetConnection() {
  ConnectionReader reader(connectionLock_);
  return ipc_;
}

bool KCommChannel::Send(const KEnvelope& envelope) {
  if (!open_) {
    ConnectionReader reader(connectionLock_);
    if (ipc_ == nullptr) throw KCommError("IPC not initialized!");
    throw KCommError("Connection not open yet (handshake running)");
  }
  return SendAny(envelope);
}

bool KCommChannel::SendHandshake(const KEnvelope& envelope) { return SendAny(envelope); }

bool KCommChannel::SendAny(const KEnvelope& envelope) {
  ConnectionReader reader(connectionLock_);
  if (ipc_ == nullptr) throw KCommError("IPC not initialized!");
  if (logger_.IsActive(klogTrace)) logger_.Trace("%s", Verbose(true, envelope).c_str());
  return ipc_->Send(envelope);
}

bool KCommChannel::Receive(KEnvelope& envelope) {
  KScopedLock receiving(receiveMutex_);
  receiverSeen_ = true;
  try {
    for (;;) {
      bool received = true;
      if (!TakeTurn(envelope)) {
        struct Turn {
          KCommChannel& channel;
          bool got;
          ~Turn() { channel.EndTurn(got); }
        } turn{*this, false};
        ConnectionReader reader(connectionLock_);
        if (ipc_ == nullptr) {
          logger_.Warning("Receive failed, not connected");
          WakeRequester(true);
          return false;
        }
        // Answered and sync are not carried by every envelope on the wire: an envelope object
        // reused for the next message must not keep the previous one's, or a request would be
        // taken for answered and never get its reply.
        envelope.SetAnswered(false);
        envelope.SetSync(false);
        received = ipc_->Receive(envelope);
        turn.got = received;
        // A requester asked for the socket: its turn first.
        dodudo::KTcpSocket* socket = received ? nullptr : SocketOf(ipc_);
        if (socket != nullptr && socket->WasWoken() && socket->GetHandle() >= 0) continue;
      }
      if (!received) {
        logger_.Trace("Receive failed");
        WakeRequester(true);
        return false;
      }
      if (logger_.IsActive(klogTrace)) logger_.Trace("%s", Verbose(false, envelope).c_str());
      lastReceiveTick_ = KHostSystem::GetTick();
      if (envelope.GetModule() != COMM_MODULE) return true;
      switch (envelope.GetCode()) {
        case COMM_KEEP_ALIVE: {
          dodudo::KEmptyData empty;
          SyncResponse(envelope, 0, empty);
          envelope.Reset();
          break;
        }
        case COMM_SYNC_RESPONSE:
        case COMM_SYNC_FAIL:
          TakeReply(envelope);
          break;
        default:
          return true;
      }
    }
  } catch (const dodudo::KSocketException& e) {
    logger_.Log(klogNotice, "Receive failed: connection ended with message [%s]", e.what());
  } catch (const std::exception& e) {
    logger_.Log(klogWarning, "Receive failed: unexpected exception [%s] handling COMM msg [%s]",
                e.what(), envelope.Description().c_str());
  }
  // The stream is out of step or gone: no reply can come for a waiting request any more.
  WakeRequester(true);
  return false;
}

bool KCommChannel::TakeTurn(KEnvelope& envelope) {
  std::unique_lock<std::mutex> role(roleMutex_);
  // Back for the next frame: the one taken last time (read or handed over) has been dealt with
  // (an event queued for the application, a reply put in its slot).
  if (handedTaken_) {
    handedTaken_ = false;
    if (handedUnfinished_ > 0) --handedUnfinished_;
  }
  for (;;) {
    if (!handedOver_.empty()) {
      envelope = std::move(handedOver_.front());
      handedOver_.pop_front();
      handedTaken_ = true;
      return true;
    }
    // Between requests that follow each other closely the socket stays with the requesters,
    // so that none has to wake this thread to get it; frames meanwhile wait that long at most.
    const auto now = std::chrono::steady_clock::now();
    const bool busy = requesterWants_ || requesterReading_;
    if (!busy && now >= lastRelease_ + kRequesterLinger) break;
    roleChanged_.wait_until(role, busy ? now + kRequesterLinger : lastRelease_ + kRequesterLinger);
  }
  receiverReading_ = true;
  return false;
}

void KCommChannel::EndTurn(bool got) {
  {
    std::lock_guard<std::mutex> role(roleMutex_);
    receiverReading_ = false;
    // The frame just read is not dealt with yet: a reply a requester reads after it waits its
    // turn behind it.
    if (got) {
      ++handedUnfinished_;
      handedTaken_ = true;
    }
  }
  roleChanged_.notify_all();
}

bool KCommChannel::ClaimReading() {
  // Only where a receiving thread exists to take the other frames over.
  if (!receiverSeen_) return false;
  ConnectionReader reader(connectionLock_);
  dodudo::KTcpSocket* socket = ipc_ != nullptr ? SocketOf(ipc_) : nullptr;
  if (socket == nullptr) return false;
  bool wake;
  {
    std::lock_guard<std::mutex> role(roleMutex_);
    if (requesterWants_ || requesterReading_) return false;
    requesterWants_ = true;
    wake = receiverReading_;
  }
  if (wake) socket->WakeReader();
  return true;
}

void KCommChannel::ReleaseReading() {
  // Not notified: the receiving thread looks again when its linger is over.
  std::lock_guard<std::mutex> role(roleMutex_);
  requesterWants_ = false;
  requesterReading_ = false;
  lastRelease_ = std::chrono::steady_clock::now();
}

void KCommChannel::ReadOwnReply(std::chrono::steady_clock::time_point sentAt) {
  const auto until = std::chrono::steady_clock::now() + kOwnReadWindow;
  {
    std::unique_lock<std::mutex> role(roleMutex_);
    // The receiving thread leaves at the end of the frame it is reading, if any.
    if (!roleChanged_.wait_until(role, until, [this] { return !receiverReading_; })) return;
    requesterWants_ = false;
    requesterReading_ = true;
  }
  ConnectionReader reader(connectionLock_);
  if (ipc_ == nullptr || !open_) return;
  dodudo::KTcpSocket* socket = SocketOf(ipc_);
  auto* receiver = dynamic_cast<dodudo::KSocketReceiver*>(ipc_->GetReceiver());
  if (socket == nullptr || receiver == nullptr) return;
  // A frame that starts but stalls must not hold the socket from the receiving thread beyond
  // the time the request may take at all; the deadline goes however this ends.
  const auto spent =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sentAt);
  socket->SetReadDeadline(
      spent.count() < kSyncTimeoutMs ? kSyncTimeoutMs - static_cast<unsigned int>(spent.count()) : 0);
  struct Deadline {
    dodudo::KTcpSocket* socket;
    ~Deadline() { socket->SetReadDeadline(dodudo::KTcpSocket::kWaitForever); }
  } deadline{socket};
  // A wait that finds the socket ended by another thread (Terminate) throws: this thread then
  // stops reading, and the receiving thread, which sees the end too, wakes it as before.
  // What is there is taken into the receiver's buffer at once, so that its Receive does not
  // poll again for a frame this wait has seen arrive.
  bool ended = false;
  auto ready = [&](unsigned int ms) {
    try {
      if (receiver->FillIfReady()) return true;
      if (ms != 0 && socket->WaitForDataUnlessWoken(ms)) return receiver->FillIfReady();
    } catch (const std::exception& e) {
      // A socket failure this read has taken (the kernel reports it once) is reported here and
      // ends the connection, as a failed Receive would; a socket another thread ended is
      // reported by that thread.
      if (socket->GetHandle() >= 0) {
        logger_.Log(klogNotice, "Receive failed: connection ended with message [%s]", e.what());
        ipc_->Terminate();
      }
      ended = true;
      return false;
    }
    if (socket->GetHandle() < 0) ended = true;
    return false;
  };
  // A reply on this machine or next to it comes within a few tens of microseconds, and waking
  // this thread for it would cost about as much again: look for it a moment first.
  if (kSpinning && !receiver->HasBuffered()) {
    const auto spinUntil =
        std::chrono::steady_clock::now() + std::chrono::microseconds(kReplySpinMicros);
    while (!ready(0) && !ended && std::chrono::steady_clock::now() < spinUntil) CpuRelax();
  }
  while (!ended && !answered_.load(std::memory_order_acquire)) {
    // Checked between any two frames, buffered or not: a server that floods other frames and
    // never replies gets this thread's reading for the window only.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (!receiver->HasBuffered() && !ready(static_cast<unsigned int>(left.count()) + 1)) continue;
    KEnvelope envelope;
    bool received;
    try {
      received = ipc_->Receive(envelope);
    } catch (const std::exception& e) {
      // The stream is out of step or gone: end it, so that the receiving thread sees the end
      // (and wakes this requester) as it would have had it read this frame itself.
      logger_.Log(klogNotice, "Receive failed: connection ended with message [%s]", e.what());
      ipc_->Terminate();
      break;
    }
    if (!received) {
      if (socket->GetHandle() < 0) break;
      continue;
    }
    const bool reply = envelope.GetModule() == COMM_MODULE &&
                       (envelope.GetCode() == COMM_SYNC_RESPONSE ||
                        envelope.GetCode() == COMM_SYNC_FAIL);
    bool handOver = !reply;
    {
      std::lock_guard<std::mutex> role(roleMutex_);
      // A reply behind frames the receiving thread has not finished with goes the same way:
      // what the server sent before it is queued for the application before the request
      // returns, as when the receiving thread read everything.
      if (handedUnfinished_ > 0) handOver = true;
      if (handOver) {
        handedOver_.push_back(std::move(envelope));
        ++handedUnfinished_;
      }
    }
    if (handOver) {
      roleChanged_.notify_all();
      if (reply || HandedOverCount() >= kMaxHandedOver) break;
      continue;
    }
    if (logger_.IsActive(klogTrace)) logger_.Trace("%s", Verbose(false, envelope).c_str());
    lastReceiveTick_ = KHostSystem::GetTick();
    TakeReply(envelope);
  }
}

bool KCommChannel::SendsOnlyQueue() {
  ConnectionReader reader(connectionLock_);
  return ipc_ != nullptr &&
         dynamic_cast<dodudo::KBufferedSocketSender*>(ipc_->GetSender()) != nullptr;
}

size_t KCommChannel::HandedOverCount() {
  std::lock_guard<std::mutex> role(roleMutex_);
  return handedOver_.size();
}

void KCommChannel::TakeReply(const KEnvelope& reply) {
  std::unique_lock<std::mutex> lock(resultMutex_);
  // Only the reply the requester waits for enters the slot: a late or foreign one must not
  // overwrite a reply that the requester has not read yet.
  if (!waiting_ || static_cast<uint16_t>(reply.GetI()) != expectedId_) {
    logger_.Log(klogNotice, "Response dropped! Expected %d received %d packet=[%s]",
                waiting_ ? expectedId_ : 0, reply.GetI(), reply.Description().c_str());
    return;
  }
  if (reply.GetCode() == COMM_SYNC_FAIL && logger_.IsActive(klogTrace)) {
    dodudo::kstring text;
    try {
      reply.GetPayload(text);
    } catch (const std::exception&) {
    }
    logger_.Log(klogTrace, "Remote error [%s]", text.c_str());
  }
  result_.Receive(reply);
  waiting_ = false;
  answered_.store(true, std::memory_order_release);
  lock.unlock();
  responseReady_.notify_all();
}

void KCommChannel::WakeRequester(bool receiveEnded) {
  std::unique_lock<std::mutex> lock(resultMutex_);
  if (receiveEnded) receiveEnded_ = true;
  if (!waiting_) return;
  // A CONN_FAIL answers no request: the requester reports the broken exchange.
  KEnvelope failure(COMM_MODULE, COMM_CONN_FAIL, 0, 0);
  result_.Receive(failure);
  waiting_ = false;
  answered_.store(true, std::memory_order_release);
  lock.unlock();
  responseReady_.notify_all();
}

void KCommChannel::Refused(KLogLevel level, const char* what, const KEnvelope& request) {
  unsigned int held = 0;
  if (!refusals_.Allow(held)) return;
  if (held == 0)
    logger_.Log(level, "Msg [%s] not sent %s", request.Description().c_str(), what);
  else
    logger_.Log(level, "Msg [%s] not sent %s (%u more since the last such line)",
                request.Description().c_str(), what, held);
}

int KCommChannel::SyncMessage(KEnvelope& request, dodudo::KSerializable& reply) {
  if (!open_) {
    Refused(klogTrace, "because client is not connected", request);
    return COMM_RESULT_FAIL;
  }
  KScopedLock sync(syncMutex_);
  // A fresh id for every send: an envelope sent again must not take the late reply to its last
  // send for its own.
  request.Renumber();
  const uint16_t expected = request.GetPacketId();
  {
    std::lock_guard<std::mutex> lock(resultMutex_);
    result_.Clear();
    // Once the receiving thread has seen the connection end, nobody would take the reply.
    if (receiveEnded_ || !open_) {
      Refused(klogWarning, ", the connection has ended", request);
      return COMM_RESULT_FAIL;
    }
    expectedId_ = expected;
    waiting_ = true;
    answered_.store(false, std::memory_order_relaxed);
  }
  if (logger_.IsActive(klogTrace)) logger_.Trace("SyncMsg %s", request.Description().c_str());

  request.SetSync(true);
  const auto sentAt = std::chrono::steady_clock::now();
  // Claimed before the send where a send never waits for the peer (the buffered transport,
  // which queues or writes without waiting): the receiving thread then steps aside while the
  // request travels. Where a send may wait for a peer that stops reading until its own replies
  // are taken, the receiving thread must go on taking them, so the claim waits until the
  // request is out.
  bool claimed = SendsOnlyQueue() && ClaimReading();
  struct Release {
    KCommChannel& channel;
    bool& held;
    ~Release() {
      if (held) channel.ReleaseReading();
    }
  } release{*this, claimed};
  bool sent;
  try {
    sent = Send(request);
  } catch (...) {
    StopWaiting();
    throw;
  }
  if (!sent) {
    StopWaiting();
    Refused(klogWarning, ", the connection is unusable", request);
    return COMM_RESULT_FAIL;
  }
  if (!claimed) claimed = ClaimReading();
  if (claimed) {
    ReadOwnReply(sentAt);
    // Given back before any wait below: the receiving thread may be the one to take the reply.
    ReleaseReading();
    claimed = false;
  }

  // A reply on this machine or next to it comes within a few tens of microseconds, and waking
  // this thread for it would cost about as much again: watch for it a moment first.
  if (kSpinning) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kReplySpinMicros);
    while (!answered_.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
      CpuRelax();
  }
  KResultMsg got;
  {
    // The slot itself says whether the reply is in: no wake-up can be lost or left over.
    std::unique_lock<std::mutex> lock(resultMutex_);
    bool received = responseReady_.wait_for(lock, std::chrono::milliseconds(kSyncTimeoutMs),
                                            [this] { return result_.IsReceived(); });
    waiting_ = false;
    if (!received) {
      lock.unlock();
      throw KCommRequestError("Sync message %s timeout", request.Description().c_str());
    }
    got = result_;
  }

  if (static_cast<uint16_t>(got.GetI()) != expected || got.GetModule() != COMM_MODULE)
    throw KCommRequestError("Packet sync fail - expected %d received %d (sent[%s] recv[%s]",
                            expected, got.GetI(), request.Description().c_str(),
                            got.Description().c_str());
  if (got.GetCode() == COMM_SYNC_FAIL) {
    dodudo::kstring text;
    got.GetPayload(text);
    throw KCommRequestError("Remote error [%s] sent [%s]", text.c_str(),
                            request.Description().c_str());
  }
  if (got.GetCode() == COMM_SYNC_RESPONSE) {
    got.GetPayload(reply);
    return got.GetG();
  }
  logger_.Error("Synchronization fail - received %s while expecting RESPONSE",
                got.Description().c_str());
  throw KCommRequestError("Synchronization fail");
}

void KCommChannel::StopWaiting() {
  std::lock_guard<std::mutex> lock(resultMutex_);
  waiting_ = false;
}

void KCommChannel::Reply(KEnvelope& request, uint16_t code, int g,
                         const dodudo::KSerializable& payload) {
  request.SetAnswered(true);
  KEnvelope response(COMM_MODULE, code, g, request.GetPacketId(), payload);
  SendAny(response);
}

void KCommChannel::SyncResponse(KEnvelope& request, int result, dodudo::KSerializable& reply) {
  if (request.IsAnswered()) {
    logger_.Warning("Envelope already answered [%s]", request.Description().c_str());
    return;
  }
  if (!request.IsSync()) {
    logger_.Warning("Trying to send a sync response to an async envelope [%s]",
                    request.Description().c_str());
    return;
  }
  Reply(request, COMM_SYNC_RESPONSE, result, reply);
}

void KCommChannel::SyncFailResponse(KEnvelope& request, dodudo::kstring text, int code) {
  if (request.IsAnswered()) {
    logger_.Warning("Fail on envelope already answered [%s]", request.Description().c_str());
    return;
  }
  if (!request.IsSync()) {
    logger_.Warning("Trying to send a sync response to an async envelope [%s]",
                    request.Description().c_str());
    return;
  }
  Reply(request, COMM_SYNC_FAIL, code, text);
}

bool KCommChannel::KeepAlive(unsigned int idleMs) {
  {
    ConnectionReader reader(connectionLock_);
    if (ipc_ == nullptr || !open_ || KHostSystem::GetTick() - lastReceiveTick_ <= idleMs)
      return true;
  }
  try {
    KEnvelope probe(COMM_MODULE, COMM_KEEP_ALIVE, 0, 0);
    dodudo::KEmptyData empty;
    int result = SyncMessage(probe, empty);
    if (result != 0) throw KCommError("Invalid keep alive return %d", result);
    return true;
  } catch (const std::exception& e) {
    logger_.Warning("KeepAlive failed, closing connection [%s]", e.what());
    ConnectionReader reader(connectionLock_);
    if (ipc_ != nullptr) ipc_->Terminate();
    return false;
  }
}

void KCommChannel::HandShake(KHelloMsg& hello, dodudo::kstring& id) {
  KEnvelope greeting(COMM_MODULE, COMM_HELLOV2, -1, -1, hello);
  SendAny(greeting);
  KEnvelope answer;
  if (!Receive(answer))
    throw KCommError(
        "Handshake failed. RQT firmware and Z7M with incompatible versions. Aborting connection "
        "to Client.");
  if (answer.GetModule() != COMM_MODULE || answer.GetCode() != COMM_REMOTE_ID)
    throw KCommError("Invalid remote id [%s]", answer.Description().c_str());
  dodudo::kstring clientId;
  answer.GetPayload(clientId);
  dodudo::kstring assigned = clientId + GetNextId();
  id = assigned;
  logger_.SetIdentity(assigned);
  KEnvelope reply(COMM_MODULE, COMM_REMOTE_ID, -1, -1, assigned);
  SendAny(reply);
}

void KCommChannel::Terminate(bool wait) {
  {
    ConnectionReader reader(connectionLock_);
    if (ipc_ != nullptr) ipc_->Terminate();
  }
  if (!wait) {
    logger_.Notice("Comm channel could not be properly terminated (windows thread release)");
    return;
  }
  // A channel on which nobody ever received has no receiving thread to wait for.
  if (receiverSeen_ && !terminationSignalled_ &&
      !terminationSemaphore_.Wait(kTerminationTimeoutMs)) {
    logger_.Warning("Comm channel could not be properly terminated (timeout)");
    return;
  }
  if (IsConnected()) ClearConnection();
  WakeRequester();
}

void KCommChannel::SignTermination() {
  terminationSignalled_ = true;
  terminationSemaphore_.Release();
}

void KCommChannel::ClearConnection() {
  // Wake a receiver blocked on the connection first: it holds the read side of the lock.
  {
    ConnectionReader reader(connectionLock_);
    if (ipc_ != nullptr) ipc_->Terminate();
  }
  SetConnection(nullptr);
  WakeRequester();
}

dodudo::kstring KCommChannel::GetNextId() { return dodudo::fstring("[%d]", nextChannelId++); }

}  // namespace comm
