#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "DOdudo/LB9/Basics/KBaseSocket.h"
#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/LB9/KIPC/GenericRingBuffer.h"
#include "DOdudo/LB9/KIPC/KBufferSerializerStream.h"
#include "DOdudo/LB9/KIPC/KIpcChannel.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KNoticeLimiter.h"
#include "DOdudo/host/KString.h"
#include "DOdudo/host/KSystemEvent.h"
#include "DOdudo/host/KThread.h"
#include "DOdudo/host/KThreadMutex.h"

class KLogger;

namespace dodudo {

constexpr uint32_t DEFAULT_FLUSH_LIMIT = 1500;
constexpr uint32_t DEFAULT_FLUSH_SLEEP = 9;
constexpr uint32_t DEFAULT_BUFFER_SIZE = 9000;
constexpr uint32_t DEFAULT_RETRY_COUNT = 10;
constexpr int DEFAULT_FLUSH_PRIORITY = 2;

// How a buffered sender batches. FlushLimit: most bytes handed to the socket in one write (0 is
// taken as the default). FlushSleep: ms the flush thread lets records gather before a write (cut
// short once half the ring is used), and the longest pause between two offers of a record to a
// full ring (0: no gathering, 9 ms pauses). BufferSize: ring bytes. RetryCount: offers of a
// record to a full ring before giving up (0: until it fits). Priority: the flush thread's level
// (KThread::SetPriority).
struct DODUDO_API KBufferedSocketOptions {
  static constexpr uint32_t DEFAULT_FLUSH_LIMIT = dodudo::DEFAULT_FLUSH_LIMIT;
  static constexpr uint32_t DEFAULT_FLUSH_SLEEP = dodudo::DEFAULT_FLUSH_SLEEP;
  static constexpr uint32_t DEFAULT_BUFFER_SIZE = dodudo::DEFAULT_BUFFER_SIZE;
  static constexpr uint32_t DEFAULT_RETRY_COUNT = dodudo::DEFAULT_RETRY_COUNT;

  uint32_t FlushLimit = DEFAULT_FLUSH_LIMIT;
  uint32_t FlushSleep = DEFAULT_FLUSH_SLEEP;
  uint32_t BufferSize = DEFAULT_BUFFER_SIZE;
  uint32_t RetryCount = DEFAULT_RETRY_COUNT;
  int Priority = DEFAULT_FLUSH_PRIORITY;
};

// Writes the runs of the ring that the flush thread hands over, in order, to the socket.
class DODUDO_API KBufferedSocketTransmitter {
 public:
  explicit KBufferedSocketTransmitter(KTcpSocket* socket) : socket(socket) {}
  // The sum of the lengths; a failed write throws from the socket.
  uint32_t get(const ExtReaderData<unsigned char>* segments, unsigned int count);

  KTcpSocket* socket;
};

// A sender whose Send frames the object and copies the record into a byte ring; its own flush
// thread writes the ring to the socket in batches. A record that asks to be sent promptly and
// finds the ring empty is written by its sender instead, without waking the flush thread. The
// bytes on the wire are those of KSocketSender: a 32-bit little-endian count, then the
// object's encoding; no write hands the socket more than FlushLimit bytes.
//
// Threading: any number of threads may Send; each frames its object in a buffer of its own, then
// takes the send mutex only to copy the record into the ring (or to offer it to the socket
// without waiting), which keeps every record whole and the records in the order in which the
// mutex was taken. The flush thread is the ring's only consumer. A record is never split and
// never written to the ring in part: when the ring stays full for RetryCount offers, Send throws
// KSocketException. Once a socket write fails, the flush thread ends, records still in the ring
// are dropped and Send returns false; after Terminate it returns false as well. The socket is
// not owned and must outlive the sender; no other thread may write to it meanwhile. In a forked
// child, which has no flush thread, Send returns false.
class DODUDO_API KBufferedSocketSender : public KSender, public KOutSerializer, public KThread {
 public:
  // Starts the flush thread; the socket must be connected.
  KBufferedSocketSender(KTcpSocket* socket, const KBufferedSocketOptions& options);
  // Terminate(), then releases everything.
  ~KBufferedSocketSender() override;

  bool Send(const KSerializable& object) override;
  // Stops the flush thread after a last drain of the ring. When the peer does not take that
  // drain within a few seconds, the socket is shut down so that the thread can end.
  void Terminate() override;
  void Execute() override;
  // Puts size bytes into the ring as one piece, with the retries described above.
  void Serialize(void* data, unsigned int size) override;

  bool IsUsable() const { return usable_; }
  // What stopped the flush thread; empty while the sender is usable.
  kstring GetErrorText() const;
  uint32_t BufferUsed() const { return ring_.Used(); }

  // The sender's logger ("SENDTX", module "dodudo").
  static KLogger& Logger();

 private:
  // A prompt record that finds the ring empty is written by its sender, without waking the
  // flush thread (beyond FlushLimit bytes, or what the socket does not take at once, through
  // the ring); false when the ring holds records or the record could never fit it. A failed
  // socket makes the sender unusable and throws SenderStopped.
  bool WriteAheadOfAnIdleRing(const unsigned char* bytes, uint32_t size);
  // One drain of the ring to the socket, in writes of at most FlushLimit bytes.
  void Flush();
  // Flush; a failure records its text and makes the sender unusable.
  void GuardedFlush();
  // The flush thread's loop: true when a stop was requested, false when the sender failed.
  bool RunUntilStopOrFailure();

  const int priority_;
  const uint32_t flushLimit_;
  const uint32_t flushSleep_;
  GenericRingBuffer<unsigned char> ring_;
  // Bytes in the ring at which a sender cuts the gathering short.
  const uint32_t wakeAt_;
  // The fork generation of the process whose flush thread drains the ring.
  const unsigned long generation_;
  KThreadMutex sendMutex_;
  KSystemEvent dataEvent_;
  KSystemEvent flushEvent_;
  // Pulsed by the flush thread whenever it has freed room, so a retry need not sleep its pause.
  KSystemEvent spaceEvent_;
  KBufferedSocketTransmitter transmitter_;
  const uint32_t retryCount_;
  // Written before usable_ is cleared (by the flush thread, or by a sender whose own write met
  // the failure); read only after seeing it cleared.
  kstring errorText_;
  std::atomic<bool> usable_;
  std::atomic<bool> accepting_;
  // Set while a sender pauses on a full ring, so that the flush thread pulses spaceEvent_.
  std::atomic<bool> waitingForSpace_;
  KNoticeLimiter fullNotices_;
};

// A channel whose sending half is a KBufferedSocketSender and whose receiving half is a
// KSocketReceiver over the same socket. The channel owns both halves, and the socket when it
// opened it itself. Terminate stops the sender (after its last drain), then the receiver.
class DODUDO_API KBufferedSocketIpcChannel : public KIpcChannel {
 public:
  // Opens a KClientSocket to host and port; a failure propagates and nothing is left behind.
  KBufferedSocketIpcChannel(const char* host, unsigned int port,
                            const KBufferedSocketOptions& options);
  // Over a connected socket that the caller keeps (and must keep until the channel is gone).
  KBufferedSocketIpcChannel(KTcpSocket* socket, const KBufferedSocketOptions& options);
  // Over a connected socket that the channel then owns.
  KBufferedSocketIpcChannel(std::unique_ptr<KTcpSocket> socket,
                            const KBufferedSocketOptions& options);
  ~KBufferedSocketIpcChannel() override;

  bool Send(const KSerializable& object) override;
  void Terminate() override;
  bool Receive(KSerializable& object) override;

  KTcpSocket* GetSocket() const { return socket_; }
  KBufferedSocketSender* GetBufferedSender() const {
    return static_cast<KBufferedSocketSender*>(sender_);
  }

 private:
  void Build(KTcpSocket* socket, const KBufferedSocketOptions& options);
  void Cleanup();

  KTcpSocket* socket_;
  KTcpSocket* ownedSocket_;
};

}  // namespace dodudo
