#include "DOdudo/LB9/KIPC/KBufferedSocketIPC.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>

#include "DOdudo/KLogger.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KSocketException.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KForkSafeOnce.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KMutex.h"

namespace dodudo {

namespace {
constexpr const char* kOrigin = "DOdudo/LB9/KIPC/KBufferedSocketIPC";
// Where "Send failed" exceptions have always said they come from; log readers match on it.
constexpr int kSendFailedLine = 149;
constexpr unsigned int kInfinite = 0xFFFFFFFFu;
// How long Terminate lets the last drain take before it shuts the socket down under it.
constexpr unsigned int kDrainGraceMs = 3000;
// At most this many "buffer full" warnings a second per sender; the next one counts the rest.
constexpr unsigned int kFullNoticePeriodMs = 1000;
constexpr unsigned int kFullNoticeBurst = 10;

// The sender stopped (its socket failed, or it was terminated) while a record waited for room.
class SenderStopped : public std::runtime_error {
 public:
  SenderStopped() : std::runtime_error("sender stopped") {}
};
}  // namespace

namespace {
KLogger* MakeSenderLog() {
  return new KLogger(klogLB9, 2, "SENDTX", "dodudo",
                     KLogger::KLOG_EXE_PREFIX | KLogger::KLOG_SHOW_NAME, false);
}
}  // namespace

// Never deleted: a flush thread may still log while the process exits. Made fork-safely.
KLogger& KBufferedSocketSender::Logger() {
  return dodudo::KForkSafeOnce<KLogger, MakeSenderLog>::Get();
}

uint32_t KBufferedSocketTransmitter::get(const ExtReaderData<unsigned char>* segments,
                                         unsigned int count) {
  uint32_t total = 0;
  for (unsigned int i = 0; i < count; ++i) {
    socket->Write(segments[i].data, segments[i].length);
    total += segments[i].length;
  }
  return total;
}

// ---------------------------------------------------------------------------------------------
// KBufferedSocketSender

KBufferedSocketSender::KBufferedSocketSender(KTcpSocket* socket,
                                             const KBufferedSocketOptions& options)
    : priority_(options.Priority),
      flushLimit_(options.FlushLimit != 0 ? options.FlushLimit : DEFAULT_FLUSH_LIMIT),
      flushSleep_(options.FlushSleep),
      ring_(options.BufferSize),
      wakeAt_(std::max<uint32_t>(flushLimit_, options.BufferSize / 2)),
      generation_(KAtFork::Generation()),
      transmitter_(socket),
      retryCount_(options.RetryCount),
      usable_(true),
      accepting_(true),
      waitingForSpace_(false),
      fullNotices_(kFullNoticePeriodMs, kFullNoticeBurst) {
  Logger();
  ring_.SetDelivery(&transmitter_, &KBufferedSocketTransmitter::get);
  SetScheduler(1);
  if (Start() == nullptr) throw std::runtime_error("cannot start the flush thread");
}

KBufferedSocketSender::~KBufferedSocketSender() { Terminate(); }

kstring KBufferedSocketSender::GetErrorText() const { return usable_ ? kstring() : errorText_; }

bool KBufferedSocketSender::Send(const KSerializable& object) {
  // A forked child shares the socket but has no flush thread: its records could never leave,
  // and a direct write would land in the middle of the parent's stream. Nothing here takes a
  // lock in the child, which another of the parent's threads may have held at the fork.
  if (!usable_ || !accepting_ || KAtFork::Generation() != generation_) return false;
  try {
    // Framed in the caller's own buffer, outside the send mutex: an object that is slow to
    // serialise (or takes a lock of its own meanwhile) holds up no other sender. An object
    // without bytes still goes out as its frame 00 00 00 00, as from the plain sender: a peer
    // may be waiting for it.
    KBufferSerializerStream record;
    record.StoreFrame(object);
    if (object.SendPromptly() && WriteAheadOfAnIdleRing(record.Data(), record.Size())) return true;
    Serialize(const_cast<unsigned char*>(record.Data()), record.Size());
    dataEvent_.Pulse();
    // Gathering exists to fill whole writes; once half the ring waits, gathering longer only
    // makes producers meet a full ring, so the drain starts while they fill the other half.
    if (flushSleep_ != 0 && (object.SendPromptly() || ring_.Used() >= wakeAt_)) flushEvent_.Pulse();
    return true;
  } catch (const SenderStopped&) {
    return false;
  } catch (const std::exception& e) {
    Logger().Warning("Send failed: %p %s", static_cast<void*>(this), e.what());
    throw KSocketException("Socket error: Socket=%08X - %s (%s:%d)",
                           static_cast<unsigned int>(transmitter_.socket->GetHandle()), e.what(),
                           kOrigin, kSendFailedLine);
  }
}

bool KBufferedSocketSender::WriteAheadOfAnIdleRing(const unsigned char* bytes, uint32_t size) {
  KScopedLock lock(sendMutex_);
  // Another sender's direct write may have met the failure since this one's first check: the
  // cause it recorded stays as it is.
  if (!usable_) throw SenderStopped();
  // Only into an empty ring: then the flush thread is not writing (it empties the ring only
  // after its writes return) and, while the send mutex is held, nothing can queue behind this
  // record and overtake it.
  if (!accepting_ || ring_.Used() != 0 || size > ring_.Capacity()) return false;
  // No more than a flush would hand over at once: a packet socket keeps writes as packets.
  const uint32_t first = std::min(size, flushLimit_);
  const ssize_t sent =
      ::send(transmitter_.socket->GetHandle(), bytes, first, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    // The socket has failed, and this send has taken its error: report it as a failed flush
    // would, so that the flush thread ends with the real cause.
    errorText_ = fstring("Socket error: Socket=%08X - %s (%s:%d)",
                         static_cast<unsigned int>(transmitter_.socket->GetHandle()),
                         KSocketException::LastError().c_str(), kOrigin, __LINE__);
    usable_ = false;
    dataEvent_.Pulse();
    flushEvent_.Pulse();
    throw SenderStopped();
  }
  // What the socket did not take goes into the empty ring at once, so that no other record
  // can come between its parts; the flush thread writes it.
  const uint32_t done = sent > 0 ? static_cast<uint32_t>(sent) : 0;
  if (done == size) return true;
  ring_.Provide(bytes + done, size - done);
  dataEvent_.Pulse();
  if (flushSleep_ != 0) flushEvent_.Pulse();
  return true;
}

void KBufferedSocketSender::Serialize(void* data, unsigned int size) {
  KScopedLock lock(sendMutex_);
  const auto* bytes = static_cast<const unsigned char*>(data);
  // A record larger than the whole ring can never fit: no point in retrying.
  uint32_t attemptsLeft = size > ring_.Capacity() ? 1 : retryCount_;
  for (;;) {
    // Once Terminate has begun, the last drain may already be over: a record put into the ring
    // now would never leave it.
    if (!accepting_) throw SenderStopped();
    if (ring_.Provide(bytes, size)) return;
    // With a count of 0 the counter wraps and the record is offered until it fits.
    if (--attemptsLeft == 0) {
      throw std::runtime_error(fstring("internal socket buffer full %p", static_cast<void*>(this)));
    }
    // A dead flush thread will never make room.
    if (!usable_ || !accepting_) throw SenderStopped();
    const uint32_t used = ring_.Used();
    // The pause ends early when the flush thread makes room; a pulse left from an earlier
    // pause is forgotten first.
    waitingForSpace_ = true;
    spaceEvent_.Wait(0);
    if (!accepting_) throw SenderStopped();  // Terminate's pulse may just have been cleared
    // The flush thread is woken before the warning is written, so that it drains meanwhile; a
    // full ring is no time to let records gather.
    dataEvent_.Pulse();
    if (flushSleep_ != 0) flushEvent_.Pulse();
    // A producer that outruns the network meets a full ring thousands of times a second:
    // writing each warning would flood the log and slow the producer itself.
    unsigned int held = 0;
    if (fullNotices_.Allow(held)) {
      if (held == 0)
        Logger().Warning(
            "Unable to send %u bytes: buffer full (used %u , free %u ) (will try %d more "
            "time(s)...)",
            size, used, ring_.Capacity() - used, static_cast<int>(attemptsLeft));
      else
        Logger().Warning(
            "Unable to send %u bytes: buffer full (used %u , free %u ) (will try %d more "
            "time(s)...) (%u more since the last such line)",
            size, used, ring_.Capacity() - used, static_cast<int>(attemptsLeft), held);
    }
    if (ring_.Free() < size) spaceEvent_.Wait(flushSleep_ != 0 ? flushSleep_ : DEFAULT_FLUSH_SLEEP);
    waitingForSpace_ = false;
  }
}

void KBufferedSocketSender::Execute() {
  Logger().Trace("Started flush thread: %p", static_cast<void*>(this));
  KThread::SetPriority(priority_);
  if (RunUntilStopOrFailure()) {
    Logger().Trace("Terminated flush thread: %p", static_cast<void*>(this));
    // Under the send mutex: a sender that got past its checks before Terminate finishes its
    // record first, and every later one finds the sender closed.
    KScopedLock lock(sendMutex_);
    if (usable_) GuardedFlush();
    if (usable_) return;
  }
  Logger().Warning("Flush thread failed: %p %s", static_cast<void*>(this),
                   errorText_.empty() ? "unable to write data" : errorText_.c_str());
  // A producer waiting for room learns at once that none will come.
  spaceEvent_.Pulse();
}

bool KBufferedSocketSender::RunUntilStopOrFailure() {
  for (;;) {
    if (!usable_) return false;
    // With a gathering time, a pass first waits that long unless a prompt record (or a full
    // ring) asks for the flush at once.
    if (flushSleep_ != 0 && flushEvent_.Wait(flushSleep_)) {
      if (StopRequested()) return true;
      GuardedFlush();
      dataEvent_.Wait(0);
      continue;
    }
    // A record that came while the last pass drained may have had its pulse cleared by that
    // pass: never wait while the ring holds records.
    if (ring_.Used() == 0) dataEvent_.Wait(kInfinite);
    if (StopRequested()) return true;
    GuardedFlush();
  }
}

void KBufferedSocketSender::GuardedFlush() {
  try {
    Flush();
  } catch (const std::exception& e) {
    errorText_ = e.what();
    usable_ = false;
  }
}

void KBufferedSocketSender::Flush() {
  while (usable_) {
    const uint32_t consumed = ring_.Deliver(flushLimit_);
    if (consumed > flushLimit_) {
      Logger().Warning("Flush thread requested %d but consumed %d", static_cast<int>(flushLimit_),
                       static_cast<int>(consumed));
    }
    const bool more = consumed == flushLimit_;
    // A paused sender resumes once half the ring is free (or the drain is over): room for many
    // records per pause, while the rest of the drain overlaps with its sending.
    if (waitingForSpace_ && (!more || ring_.Free() >= ring_.Capacity() / 2)) spaceEvent_.Pulse();
    if (!more) return;
  }
}

void KBufferedSocketSender::Terminate() {
  accepting_ = false;
  // A forked child has no flush thread to stop, and the events' locks may have been held by the
  // parent's at the fork.
  if (KAtFork::Generation() != generation_) return;
  spaceEvent_.Pulse();  // a sender pausing on a full ring gives up at once
  if (!(IsRunning() || IsStarting()) || IsTerminated()) return;
  RequestStop();
  flushEvent_.Pulse();
  dataEvent_.Pulse();
  Join(kDrainGraceMs);
  if (IsTerminated()) return;
  // The last drain is stuck in a write to a peer that does not read: shutting the socket down
  // makes that write fail, so the thread ends and the sender can be destroyed.
  Logger().Warning("Flush thread still writing after %u ms: %p, shutting the socket down",
                   kDrainGraceMs, static_cast<void*>(this));
  transmitter_.socket->SignalFinalization();
  Join(kInfinite);
}

// ---------------------------------------------------------------------------------------------
// KBufferedSocketIpcChannel

KBufferedSocketIpcChannel::KBufferedSocketIpcChannel(const char* host, unsigned int port,
                                                     const KBufferedSocketOptions& options)
    : socket_(nullptr), ownedSocket_(nullptr) {
  auto socket = std::make_unique<KClientSocket>();
  socket->Open(host, static_cast<unsigned short>(port));
  ownedSocket_ = socket.release();
  Build(ownedSocket_, options);
}

KBufferedSocketIpcChannel::KBufferedSocketIpcChannel(KTcpSocket* socket,
                                                     const KBufferedSocketOptions& options)
    : socket_(nullptr), ownedSocket_(nullptr) {
  Build(socket, options);
}

KBufferedSocketIpcChannel::KBufferedSocketIpcChannel(std::unique_ptr<KTcpSocket> socket,
                                                     const KBufferedSocketOptions& options)
    : socket_(nullptr), ownedSocket_(socket.release()) {
  Build(ownedSocket_, options);
}

void KBufferedSocketIpcChannel::Build(KTcpSocket* socket, const KBufferedSocketOptions& options) {
  socket_ = socket;
  try {
    sender_ = new KBufferedSocketSender(socket, options);
    receiver_ = new KSocketReceiver(socket);
  } catch (...) {
    Cleanup();
    throw;
  }
}

KBufferedSocketIpcChannel::~KBufferedSocketIpcChannel() { Cleanup(); }

void KBufferedSocketIpcChannel::Cleanup() {
  delete sender_;
  sender_ = nullptr;
  delete receiver_;
  receiver_ = nullptr;
  delete ownedSocket_;
  ownedSocket_ = nullptr;
  socket_ = nullptr;
}

bool KBufferedSocketIpcChannel::Send(const KSerializable& object) { return sender_->Send(object); }

void KBufferedSocketIpcChannel::Terminate() {
  sender_->Terminate();
  receiver_->Terminate();
}

bool KBufferedSocketIpcChannel::Receive(KSerializable& object) {
  return receiver_->Receive(object);
}

}  // namespace dodudo
