#include "DOdudo/LB9/KIPC/KSocketIPC.h"

#include <errno.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KSocketException.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KMutex.h"

namespace dodudo {

namespace {
constexpr const char* kOrigin = "DOdudo/LB9/KIPC/KSocketIPC";

// Locks a socket mutex for one scope; sockets without mutexes are not locked.
class OptionalLock {
 public:
  explicit OptionalLock(KMutex* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) mutex_->Lock();
  }
  ~OptionalLock() {
    if (mutex_ != nullptr) mutex_->Unlock();
  }
  OptionalLock(const OptionalLock&) = delete;
  OptionalLock& operator=(const OptionalLock&) = delete;

 private:
  KMutex* mutex_;
};

// An object that asks for more bytes than its frame holds. Raised after the rest of the frame has
// been skipped.
class FrameOverrun : public KSocketException {
 public:
  FrameOverrun(int socket, uint32_t frame, unsigned int asked, uint32_t left)
      : KSocketException(
            "Socket error: Socket=%08X - Object reads past the end of its frame of %u bytes "
            "(%u asked, %u left) (%s:%d)",
            static_cast<unsigned int>(socket), frame, asked, left, kOrigin, __LINE__) {}
};
}  // namespace

// ---------------------------------------------------------------------------------------------
// KSocketSender

KSocketSender::KSocketSender(KTcpSocket* socket) : socket_(socket) {}

KSocketSender::~KSocketSender() = default;

bool KSocketSender::Send(const KSerializable& object) {
  KMutex* mutex = socket_->GetWriteMutex();
  if (mutex == nullptr) {
    KBufferSerializerStream frame;
    frame.StoreFrame(object);
    socket_->Write(const_cast<unsigned char*>(frame.Data()), frame.Size());
    return true;
  }
  OptionalLock lock(mutex);
  frame_.StoreFrame(object);
  socket_->Write(const_cast<unsigned char*>(frame_.Data()), frame_.Size());
  return true;
}

void KSocketSender::Serialize(void* data, unsigned int size) { socket_->Write(data, size); }

// ---------------------------------------------------------------------------------------------
// KSocketReceiver

KSocketReceiver::KSocketReceiver(KTcpSocket* socket)
    : socket_(socket),
      terminated_(false),
      receiving_(0),
      generation_(KAtFork::Generation()),
      maxFrameSize_(kDefaultMaxFrameSize),
      frameSize_(0),
      remaining_(0),
      outOfStep_(false),
      inPos_(0),
      buffered_(0) {}

KSocketReceiver::~KSocketReceiver() {
  // A forked child counts the parent's receiving threads, which it does not have.
  if (receiving_ == 0 || KAtFork::Generation() != generation_) return;
  // The owner tears the channel down while its receiving thread still waits on the socket: wake
  // it and let it leave before the receiver and the socket go.
  Terminate();
  while (receiving_ != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool KSocketReceiver::Receive(KSerializable& object) {
  // Counts this thread in until it leaves, however it leaves; the decrement is the last access.
  struct Inside {
    explicit Inside(std::atomic<int>& count) : count_(count) { ++count_; }
    ~Inside() { --count_; }
    std::atomic<int>& count_;
  } inside(receiving_);
  if (terminated_) return false;
  // Between frames a WakeReader call ends the wait as well (false): another thread takes over.
  if (buffered_ == 0 &&
      !socket_->WaitForDataUnlessWoken(async_ ? 0 : KTcpSocket::kWaitForever))
    return false;
  if (terminated_) return false;
  OptionalLock lock(socket_->GetReadMutex());
  if (outOfStep_) {
    throw KSocketException(
        "Socket error: Socket=%08X - Stream out of step after an oversized frame (%s:%d)",
        static_cast<unsigned int>(socket_->GetHandle()), kOrigin, __LINE__);
  }
  unsigned char header[4];
  for (uint32_t got = 0; got < sizeof header;) {
    if (buffered_ == 0) Refill();
    got += TakeBuffered(header + got, sizeof header - got);
  }
  const uint32_t count = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                         static_cast<uint32_t>(header[2]) << 16 |
                         static_cast<uint32_t>(header[3]) << 24;
  if (count > maxFrameSize_) {
    // Skipping it would mean reading whatever the peer cares to send: give the stream up.
    outOfStep_ = true;
    throw KSocketException(
        "Socket error: Socket=%08X - Frame of %u bytes exceeds the limit of %u (%s:%d)",
        static_cast<unsigned int>(socket_->GetHandle()), count, maxFrameSize_, kOrigin, __LINE__);
  }
  frameSize_ = remaining_ = count;
  try {
    object.Serialize(*this);
  } catch (const KSocketException&) {
    // Overruns have skipped their frame already; other socket failures end the stream anyway.
    throw;
  } catch (...) {
    // The object refused its bytes: consume the rest of its frame so the next one can be read.
    Skip(remaining_);
    throw;
  }
  Skip(remaining_);
  return true;
}

void KSocketReceiver::Terminate() {
  terminated_ = true;
  socket_->SignalFinalization();
}

void KSocketReceiver::Serialize(void* data, unsigned int size) {
  if (size > remaining_) {
    const uint32_t left = remaining_;
    Skip(remaining_);
    throw FrameOverrun(socket_->GetHandle(), frameSize_, size, left);
  }
  auto* bytes = static_cast<unsigned char*>(data);
  uint32_t got = TakeBuffered(bytes, size);
  // A large field goes straight from the socket to its place; small ones through the buffer.
  if (size - got >= kInputBlock) {
    socket_->Read(bytes + got, size - got);
    got = size;
  }
  while (got < size) {
    Refill();
    got += TakeBuffered(bytes + got, size - got);
  }
  remaining_ -= size;
}

void KSocketReceiver::Refill() {
  if (!in_) in_.reset(new unsigned char[kInputBlock]);
  inPos_ = 0;
  buffered_ = socket_->ReadSome(in_.get(), kInputBlock);
}

bool KSocketReceiver::FillIfReady() {
  if (buffered_ != 0) return true;
  OptionalLock lock(socket_->GetReadMutex());
  if (buffered_ != 0) return true;
  const int fd = socket_->GetHandle();
  if (fd < 0) return true;  // Receive reports the ended socket
  if (!in_) in_.reset(new unsigned char[kInputBlock]);
  ssize_t got;
  do {
    got = ::recv(fd, in_.get(), kInputBlock, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    inPos_ = 0;
    buffered_ = static_cast<uint32_t>(got);
    return true;
  }
  if (got == 0) return true;  // the end stays readable: Receive meets it as ever
  if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
  throw KSocketException("Socket error: Socket=%08X - %s (%s:%d)", static_cast<unsigned int>(fd),
                         KSocketException::LastError().c_str(), kOrigin, __LINE__);
}

uint32_t KSocketReceiver::TakeBuffered(unsigned char* data, uint32_t size) {
  const uint32_t take = std::min<uint32_t>(size, buffered_);
  if (take == 0) return 0;
  memcpy(data, in_.get() + inPos_, take);
  inPos_ += take;
  buffered_ -= take;
  return take;
}

void KSocketReceiver::Skip(uint32_t bytes) {
  while (bytes > 0) {
    if (buffered_ == 0) Refill();
    const uint32_t part = std::min<uint32_t>(bytes, buffered_);
    inPos_ += part;
    buffered_ -= part;
    bytes -= part;
    remaining_ -= part;
  }
}

// ---------------------------------------------------------------------------------------------
// KSocketIpcChannel

KSocketIpcChannel::KSocketIpcChannel(const char* host, unsigned int port) : socket_(nullptr) {
  auto socket = std::make_unique<KClientSocket>();
  socket->Open(host, static_cast<unsigned short>(port));
  auto receiver = std::make_unique<KSocketReceiver>(socket.get());
  auto sender = std::make_unique<KSocketSender>(socket.get());
  receiver_ = receiver.release();
  sender_ = sender.release();
  socket_ = socket.release();
}

KSocketIpcChannel::KSocketIpcChannel(KTcpSocket* socket) : socket_(socket) {
  receiver_ = new KSocketReceiver(socket);
  try {
    sender_ = new KSocketSender(socket);
  } catch (...) {
    delete receiver_;
    throw;
  }
}

KSocketIpcChannel::~KSocketIpcChannel() {
  delete receiver_;
  delete sender_;
  delete socket_;
}

bool KSocketIpcChannel::Send(const KSerializable& object) { return sender_->Send(object); }

bool KSocketIpcChannel::Receive(KSerializable& object) { return receiver_->Receive(object); }

}  // namespace dodudo
