#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "DOdudo/LB9/Basics/KBaseSocket.h"
#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/LB9/KIPC/KBufferSerializerStream.h"
#include "DOdudo/LB9/KIPC/KIpcChannel.h"
#include "DOdudo/host/KExport.h"

namespace dodudo {

// Frames on a socket: a 32-bit little-endian count T, then exactly T bytes, the object's encoding.

// Writes each object as one frame under the socket's write mutex, so any number of threads may
// send and frames never interleave. The frame is gathered first and written whole. The socket is
// not owned and must outlive the sender. Failures of the socket propagate as KSocketException.
class DODUDO_API KSocketSender : public KSender, public KOutSerializer {
 public:
  explicit KSocketSender(KTcpSocket* socket);
  ~KSocketSender() override;

  bool Send(const KSerializable& object) override;
  // Writes size bytes straight to the socket.
  void Serialize(void* data, unsigned int size) override;

  KTcpSocket* GetSocket() const { return socket_; }

 private:
  KTcpSocket* socket_;
  // Reused frame buffer, guarded by the socket's write mutex.
  KBufferSerializerStream frame_;
};

// Reads one frame per Receive into the object, under the socket's read mutex. The frame's count
// bounds the object: a count above GetMaxFrameSize() is refused before anything else is read
// (the stream is then out of step and every later Receive fails), an object that asks for more
// bytes than its frame holds, or that refuses its bytes (a too long string), fails after the
// rest of the frame has been skipped, and bytes an object leaves unread at the end of its frame
// are skipped. So after a malformed frame the stream stays in step whenever the frame could be
// measured. The socket is not owned and must outlive the receiver.
class DODUDO_API KSocketReceiver : public KReceiver, public KInSerializer {
 public:
  static constexpr uint32_t kDefaultMaxFrameSize = 1024 * 1024;

  explicit KSocketReceiver(KTcpSocket* socket);
  // When another thread is inside Receive, terminates the receiver and waits until it has left.
  ~KSocketReceiver() override;

  // Waits without limit (async: not at all) for data; false when nothing is there, the
  // receiver has been terminated, or the socket's WakeReader was called before a frame began.
  // Socket failures and malformed frames throw KSocketException (KSocketClosedException when
  // the peer has closed the stream); errors of the object's own decoding propagate as they are.
  bool Receive(KSerializable& object) override;
  // Sets the terminated flag and wakes a thread blocked in Receive, which returns false; any
  // later use of the socket fails. Safe from any thread.
  void Terminate() override;
  // Reads exactly size bytes of the current frame from the socket.
  void Serialize(void* data, unsigned int size) override;

  void SetMaxFrameSize(uint32_t bytes) { maxFrameSize_ = bytes; }
  uint32_t GetMaxFrameSize() const { return maxFrameSize_; }
  KTcpSocket* GetSocket() const { return socket_; }
  // Bytes of a next frame are buffered already: Receive would not wait for the socket. For the
  // thread that reads (or takes turns reading, under its own synchronisation).
  bool HasBuffered() const { return buffered_ != 0; }
  // Takes what the socket holds into the input buffer, without waiting: true when Receive can
  // go on without a wait (bytes buffered, or the stream has ended, which Receive then reports).
  // A socket failure throws KSocketException. For the thread that reads, as HasBuffered.
  bool FillIfReady();

 private:
  void Skip(uint32_t bytes);
  // Reads what the socket holds (at least one byte) into the input buffer, which is empty.
  void Refill();
  // Takes up to size bytes from the input buffer; returns how many it took.
  uint32_t TakeBuffered(unsigned char* data, uint32_t size);

  // Input is read in blocks: a frame that has arrived whole costs one receive, not one per field.
  static constexpr uint32_t kInputBlock = 16 * 1024;

  KTcpSocket* socket_;
  std::atomic<bool> terminated_;
  // Threads inside Receive; the destructor waits for them.
  std::atomic<int> receiving_;
  // The fork generation of the process that made the receiver: a child has none of its threads.
  unsigned long generation_;
  uint32_t maxFrameSize_;
  // The current frame's count and the part of it not read yet; guarded by the read mutex.
  uint32_t frameSize_;
  uint32_t remaining_;
  bool outOfStep_;
  // Bytes received but not taken yet, in_[inPos_, inPos_ + buffered_); guarded by the read mutex
  // (buffered_ is also read before it, to skip the wait when a frame is there already).
  std::unique_ptr<unsigned char[]> in_;
  uint32_t inPos_;
  std::atomic<uint32_t> buffered_;
};

// A channel over one socket, owning both halves and the socket. Any number of threads may send;
// one thread receives; Terminate (from any thread) wakes the receiver. Destroying the channel
// ends a Receive blocked in another thread (false or a socket exception) before anything it uses
// is freed; senders must have left Send.
class DODUDO_API KSocketIpcChannel : public KIpcChannel {
 public:
  // Opens a KClientSocket to host and port; a failure propagates as its KSocketException.
  KSocketIpcChannel(const char* host, unsigned int port);
  // Over a connected socket, which the channel then owns.
  explicit KSocketIpcChannel(KTcpSocket* socket);
  ~KSocketIpcChannel() override;

  bool Send(const KSerializable& object) override;
  bool Receive(KSerializable& object) override;

  KTcpSocket* GetSocket() const { return socket_; }

 private:
  KTcpSocket* socket_;
};

}  // namespace dodudo
