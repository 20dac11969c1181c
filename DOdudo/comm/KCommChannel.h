#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

#include "DOdudo/KLogger.h"
#include "DOdudo/comm/KCommMessages.h"
#include "DOdudo/comm/KEnvelope.h"
#include "DOdudo/comm/KHelloMsg.h"
#include "DOdudo/host/KNoticeLimiter.h"
#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KCallbackList.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KReadWriteLock.h"
#include "DOdudo/host/KSemaphore.h"
#include "DOdudo/host/KThreadMutex.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {
class KIpcChannel;
}

namespace comm {

// Tags of the protocol's exception types.
struct _Error_COMM_ {};
struct KCommClientError {};
struct KCommClientHandshakeError {};

using KCommError = KTemplateException<_Error_COMM_>;
using KCommRequestError = KTemplateException<KCommClientError>;
using KCommHandshakeError = KTemplateException<KCommClientHandshakeError>;

// One end of a comm connection over an IPC channel. It answers the peer's keep-alives itself,
// matches replies to the one synchronous request that may be outstanding, turns remote failures
// into exceptions, performs the server side of the hello handshake and can be terminated from
// another thread.
//
// Threads: one receiving thread (Receive), any number of senders (Send), one synchronous
// requester at a time (SyncMessage waits for the others), plus the keep-alive companion. The
// connection lock is read-held around each use of the IPC channel and write-held while it is
// replaced or destroyed. The result slot and the expected packet id are guarded by their own
// mutex: the receiving thread fills the slot only with the reply the requester waits for.
//
// A requester reads its reply itself: it asks the receiving thread to step aside between frames
// (the socket's WakeReader), reads the socket until the reply is in, and hands every other frame
// to the receiving thread, which takes them first and in order (a reply behind such frames is
// handed over too). So a reply costs the requester one wake-up, as a plain request/response
// exchange does, instead of a hand-over through the receiving thread. After a request the
// receiving thread leaves the socket to requesters for another millisecond, so that back-to-back
// requests need not wake it at all. When the receiving thread does not step aside or the reply
// does not come within a few milliseconds, the requester gives the socket back and waits for its
// reply the ordinary way.
//
// Whoever runs the receiving loop calls SignTermination() when it leaves it; Terminate(true) (and
// so the destructor) waits up to 30 s for that once Receive has been called. When the connection
// ends or is cleared, a request waiting for its reply ends at once instead of timing out.
class DODUDO_API KCommChannel : public NonCopyable {
 public:
  explicit KCommChannel(KLogger& logger);
  virtual ~KCommChannel();

  // Installs a connected IPC channel and takes ownership of it; one already installed is
  // destroyed first. The connection carries commands at once.
  void SetConnection(dodudo::KIpcChannel* ipc);
  // Installs it for a handshake: every read of the socket ends within handshakeMs from now, and
  // only SendHandshake and replies go out until Open(). Meanwhile Send throws and SyncMessage
  // returns 13 at once, so nothing of the application's precedes the identity message.
  void SetConnection(dodudo::KIpcChannel* ipc, unsigned int handshakeMs);
  // The handshake is over: lifts the read deadline and lets commands through.
  void Open();
  bool IsOpen() const { return open_; }
  bool IsConnected();
  // The installed IPC channel, for reading its socket's addresses; valid until ClearConnection.
  dodudo::KIpcChannel* GetConnection();

  // Throws KCommError "IPC not initialized!" without a connection (or before Open()); socket
  // failures pass on.
  bool Send(const KEnvelope& envelope);
  // Send for the handshake itself, allowed before Open().
  bool SendHandshake(const KEnvelope& envelope);
  // The next envelope for the caller. Keep-alives are answered here and replies go to the waiting
  // requester; neither is returned. false when the connection failed or ended.
  bool Receive(KEnvelope& envelope);
  // Sends request (marked synchronous, with a fresh packet id each time) and waits up to 30 s for
  // its reply, which is read into reply. Returns the reply's result code, or 13 without an open
  // connection (or once the receiving thread has seen it end); those refusals are logged at most
  // once a second. A timeout, a remote failure (SYNC_FAIL) or a lost connection throws
  // KCommRequestError.
  int SyncMessage(KEnvelope& request, dodudo::KSerializable& reply);
  void SyncResponse(KEnvelope& request, int result, dodudo::KSerializable& reply);
  void SyncFailResponse(KEnvelope& request, dodudo::kstring text, int code);
  // Probes the peer when nothing was received for more than idleMs. false when the probe failed:
  // the IPC channel is then terminated so that the receiving thread sees the end.
  bool KeepAlive(unsigned int idleMs);
  // Server side of the connection handshake: sends hello, takes the client's REMOTE_ID, assigns
  // it an identity (its text followed by GetNextId()) and sends that back. Allowed before Open(),
  // which the caller then calls. Throws KCommError.
  void HandShake(KHelloMsg& hello, dodudo::kstring& id);
  // Wakes the receiving thread; with wait, waits (30 s at most) for it to SignTermination, then
  // drops the connection and wakes a waiting requester.
  void Terminate(bool wait);
  void SignTermination();
  void ClearConnection();

  uint32_t GetLastReceiveTick() const { return lastReceiveTick_.load(); }
  KLogger& GetLogger() { return logger_; }
  // Called with the channel when it is destroyed; the list owns its function objects.
  dodudo::KCallbackList<void, KCommChannel*>& DestructionCallbacks() { return destroyCallbacks_; }

  // "[0]", "[1]", ...: a process-wide counter.
  static dodudo::kstring GetNextId();

  // Message-name registry, process-wide and guarded by its own mutex.
  // false (nothing changed) when module is registered already. A repeated number within a table
  // keeps its first name.
  static bool RegisterMessageStrings(unsigned int module, const char* name,
                                     unsigned int commandCount, const Msg_t* commands,
                                     unsigned int eventCount, const Msg_t* events);
  static bool AreMessageStringsRegistered(unsigned int module);
  // The registry itself; read it only where no registration can run at the same time.
  static std::map<unsigned int, KMessageIdStrings>& VerboseStrings();
  // The width names are aligned to: 6 at first, then the longest message name registered.
  static unsigned int MaxMessageNameLength();
  // "TX> P00012|COMM  : KEEP_ALIVE     g0 i000 ( 0) " and the payload in hex.
  static dodudo::kstring Verbose(bool outgoing, const KEnvelope& envelope);

 private:
  // Places a CONN_FAIL in the result slot when a requester waits, so that it ends at once.
  // receiveEnded: the receiving thread has seen the connection end (until the next one is set).
  void WakeRequester(bool receiveEnded = false);
  void TakeReply(const KEnvelope& reply);
  void StopWaiting();
  // Turns at reading the socket, between the receiving thread and a requester. The requester
  // claims (false: it will not read itself), then reads until its reply is in or the claim's
  // time is over, and always gives the socket back.
  bool ClaimReading();
  void ReadOwnReply(std::chrono::steady_clock::time_point sentAt);
  size_t HandedOverCount();
  // The installed transport's Send only queues (never waits for the peer).
  bool SendsOnlyQueue();
  void ReleaseReading();
  // The receiving thread's turn: takes a handed-over frame (true) or starts reading itself.
  bool TakeTurn(KEnvelope& envelope);
  // got: the turn read a frame, which the receiving thread deals with next.
  void EndTurn(bool got);
  void Reply(KEnvelope& request, uint16_t code, int g, const dodudo::KSerializable& payload);
  bool SendAny(const KEnvelope& envelope);
  // A refused request, logged at most once a second with the count of those held back.
  void Refused(KLogLevel level, const char* what, const KEnvelope& request);

  dodudo::KIpcChannel* ipc_;
  dodudo::KSemaphore terminationSemaphore_;
  std::atomic<bool> terminationSignalled_;
  std::atomic<bool> receiverSeen_;  // Receive was called: a receiving thread may need waiting for
  KLogger& logger_;
  std::atomic<uint32_t> lastReceiveTick_;
  dodudo::KThreadMutex receiveMutex_;
  dodudo::KThreadMutex syncMutex_;
  KReadWriteLock connectionLock_;
  std::mutex resultMutex_;                 // guards the four fields below
  std::condition_variable responseReady_;  // a reply (or a CONN_FAIL) entered the slot
  KResultMsg result_;
  bool waiting_;         // a requester waits for the reply to expectedId_
  uint16_t expectedId_;  // packet ids wrap through 0, so waiting_ says whether one is expected
  bool receiveEnded_;    // the receiving thread saw this connection end: no reply can come
  std::atomic<bool> answered_;  // the slot holds what the requester waits for (read unlocked)
  std::atomic<bool> open_;  // a connection is installed and its handshake is over
  std::mutex roleMutex_;                   // guards the seven fields below
  std::condition_variable roleChanged_;    // a turn ended or a frame was handed over
  bool receiverReading_;   // the receiving thread is inside the IPC channel's Receive
  bool requesterWants_;    // a requester waits for the receiving thread to step aside
  bool requesterReading_;  // a requester reads the socket
  std::deque<KEnvelope> handedOver_;  // frames a requester read for the receiving thread
  size_t handedUnfinished_;  // read or handed over, not yet dealt with by the receiving thread
  bool handedTaken_;         // the receiving thread holds such a frame (counted above)
  std::chrono::steady_clock::time_point lastRelease_;  // a requester last gave the socket back
  dodudo::KNoticeLimiter refusals_;
  dodudo::KCallbackList<void, KCommChannel*> destroyCallbacks_;
};

}  // namespace comm
