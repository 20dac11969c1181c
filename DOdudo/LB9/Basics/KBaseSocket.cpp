#include "DOdudo/LB9/Basics/KBaseSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KHostSystem.h"

namespace dodudo {

namespace {
constexpr const char* kOrigin = "DOdudo/LB9/Basics/KBaseSocket";
constexpr int kTypeOfService = 0xB8;
constexpr unsigned char kTcpStateClose = 7;

void CloseQuietly(int32_t& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}
}  // namespace

KTcpSocket::KTcpSocket()
    : readWaitTime_(kWaitForever),
      writeWaitTime_(kWaitForever),
      deadlineSet_(false),
      deadline_(0),
      noDelay_(0),
      async_(false),
      allAsync_(false),
      closed_(false),
      readPoll_(nullptr),
      writePoll_(nullptr),
      readPollReady_(false),
      writePollReady_(false),
      readPipeIndex_(-1),
      writePipeIndex_(-1),
      wakeFd_(-1),
      readWakeIndex_(-1),
      woken_(false),
      signalRead_(-1),
      signalWrite_(-1),
      fd_(-1),
      disabled_(false),
      generation_(KAtFork::Generation()) {
  InitializeSignalFd();
  InitializeSockPoll();
}

KTcpSocket::~KTcpSocket() {
  FinalizeSignalFd();
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
  CloseQuietly(signalRead_);
  CloseQuietly(signalWrite_);
  CloseQuietly(wakeFd_);
  delete readPoll_;
  delete writePoll_;
}

void KTcpSocket::InitializeSignalFd() {
  int ends[2];
  // Non-blocking: a signal never blocks its caller, however often it is given.
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    signalRead_ = signalWrite_ = -1;
    return;
  }
  signalRead_ = ends[0];
  signalWrite_ = ends[1];
}

void KTcpSocket::InitializeSockPoll() {
  delete readPoll_;
  delete writePoll_;
  readPoll_ = new KSocketPoll(2);
  writePoll_ = new KSocketPoll(2);
  readPollReady_ = writePollReady_ = false;
  readPipeIndex_ = writePipeIndex_ = readWakeIndex_ = -1;
}

void KTcpSocket::EnableReaderWake() {
  if (wakeFd_ >= 0) return;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  InitializeSockPoll();  // the sets are built again, the read set with it
}

void KTcpSocket::WakeReader() {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool KTcpSocket::WaitForDataUnlessWoken(unsigned int ms) {
  woken_ = false;
  if (GetHandle() < 0) return false;
  return Select(false, ClampToReadDeadline(ms), true);
}

void KTcpSocket::SignalFinalization() {
  FinalizeSignalFd();
  if (signalWrite_ < 0 || KAtFork::Generation() != generation_) return;
  const unsigned char zero = 0;
  while (::write(signalWrite_, &zero, 1) < 0 && errno == EINTR) {
  }
}

void KTcpSocket::FinalizeSignalFd() {
  disabled_ = true;
  if (KAtFork::Generation() != generation_) return;  // the parent's connection too
  // Shutting the stream down (rather than closing it) unblocks a thread inside send or recv and
  // tells the peer, while the number stays reserved for this object until its destruction.
  const int fd = fd_;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void KTcpSocket::CloseDescriptor() {
  const int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
  // The poll sets named the old descriptor.
  InitializeSockPoll();
}

void KTcpSocket::ThrowError(const char* module, int line) const {
  throw KSocketException("Socket error: Socket=%08X - %s (%s:%d)",
                         static_cast<unsigned int>(GetHandle()),
                         KSocketException::LastError().c_str(), module, line);
}

void KTcpSocket::SetAsync() {
  const int fd = GetHandle();
  if (fd < 0) return;
  async_ = true;
  readWaitTime_ = 0;
  SetSocketBlockingMode(fd, false);
}

void KTcpSocket::SetAllAsync() {
  if (GetHandle() >= 0) allAsync_ = true;
}

int KTcpSocket::SetTOS(kstring, unsigned short) {
  const int value = kTypeOfService;
  return setsockopt(GetHandle(), IPPROTO_IP, IP_TOS, &value, sizeof value);
}

int KTcpSocket::SetSOReuseAddr() {
  const int one = 1;
  return setsockopt(GetHandle(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

int KTcpSocket::BindToDevice(kstring name) {
  return setsockopt(GetHandle(), SOL_SOCKET, SO_BINDTODEVICE, name.data(),
                    static_cast<socklen_t>(name.size()));
}

void KTcpSocket::Bind(unsigned short port, KAddressFamily family) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  if (family == KAF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_any;
    v6->sin6_port = htons(port);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    v4->sin_port = htons(port);
  }
  if (::bind(GetHandle(), reinterpret_cast<sockaddr*>(&storage), sizeof storage) != 0) {
    kstring what;
    what.sprintf("Error binding tcp socket to port %d and family %d", port,
                 static_cast<int>(family));
    throw KSocketException("Socket error: %s - %s", what.c_str(),
                           KSocketException::LastError().c_str());
  }
}

void KTcpSocket::Bind(kstring host, unsigned short port) {
  sockaddr_storage storage = GetSocketAddress2(host, port);
  if (::bind(GetHandle(), reinterpret_cast<sockaddr*>(&storage), sizeof storage) != 0) {
    kstring what;
    what.sprintf("Error binding tcp socket to %s:%d", host.c_str(), port);
    throw KSocketException("Socket error: %s - %s", what.c_str(),
                           KSocketException::LastError().c_str());
  }
}

bool KTcpSocket::IsConnected() {
  const int fd = GetHandle();
  if (fd < 0) return false;
  tcp_info info;
  socklen_t length = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
  return info.tcpi_state != kTcpStateClose;
}

void KTcpSocket::SetReadDeadline(uint32_t msFromNow) {
  if (msFromNow == kWaitForever) {
    deadlineSet_ = false;
    return;
  }
  deadline_ = KHostSystem::GetTick() + msFromNow;
  deadlineSet_ = true;
}

uint32_t KTcpSocket::ClampToReadDeadline(uint32_t ms) const {
  if (!deadlineSet_) return ms;
  // The tick wraps: the signed difference says which side of the deadline now is.
  const int32_t left = static_cast<int32_t>(deadline_.load() - KHostSystem::GetTick());
  if (left <= 0) return 0;
  return static_cast<uint32_t>(left) < ms ? static_cast<uint32_t>(left) : ms;
}

bool KTcpSocket::WaitForData(unsigned int ms) {
  if (GetHandle() < 0) return false;
  return SafeSelect(false, ClampToReadDeadline(ms));
}

bool KTcpSocket::SafeSelect(bool write, unsigned int ms) { return Select(write, ms, false); }

bool KTcpSocket::Select(bool write, unsigned int ms, bool wakeable) {
  const int fd = GetHandle();
  if (fd < 0) {
    errno = EBADF;
    throw KSocketException("Socket error: %s - Socket=%08X - %s (%s:%d)", "Invalid handle",
                           static_cast<unsigned int>(fd), KSocketException::LastError().c_str(),
                           kOrigin, __LINE__);
  }
  KSocketPoll& poll = write ? *writePoll_ : *readPoll_;
  bool& ready = write ? writePollReady_ : readPollReady_;
  int32_t& pipeIndex = write ? writePipeIndex_ : readPipeIndex_;
  if (!ready) {
    poll.Add(fd, write ? KSocketPoll::Write : KSocketPoll::Read);
    if (signalRead_ >= 0)
      pipeIndex = static_cast<int32_t>(poll.Add(signalRead_, KSocketPoll::Read));
    if (!write && wakeFd_ >= 0)
      readWakeIndex_ = static_cast<int32_t>(poll.Add(wakeFd_, KSocketPoll::Read));
    ready = true;
  }
  const int32_t wakeIndex = write ? -1 : readWakeIndex_;
  const uint32_t start = KHostSystem::GetTick();
  const unsigned int total = ms;
  for (;;) {
    int result = poll.Poll(ms);
    // The signal byte stays in the pipe: every later wait on this socket wakes at once as well.
    if (signalRead_ >= 0 && result >= 0 && pipeIndex >= 0 &&
        poll.Events(static_cast<unsigned int>(pipeIndex)) != 0) {
      FinalizeSignalFd();
    }
    if (result >= 1 && wakeIndex >= 0 && poll.Events(static_cast<unsigned int>(wakeIndex)) != 0) {
      uint64_t count;
      while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
      }
      --result;
      if (result == 0 && wakeable) {
        woken_ = true;
        return false;
      }
      if (result == 0) {
        // Meant for a wait between frames: this one goes on for what is left of its time.
        if (total != kWaitForever) {
          const uint32_t spent = KHostSystem::GetTick() - start;
          if (spent >= total) return false;
          ms = total - spent;
        }
        continue;
      }
    }
    return result >= 1;
  }
}

unsigned int KTcpSocket::RawRead(void* data, unsigned int size) {
  if (GetHandle() < 0 || closed_) {
    errno = GetHandle() < 0 ? EBADF : ENOTCONN;
    ThrowError(kOrigin, __LINE__);
  }
  if (size == 0) return 0;
  ssize_t received;
  if (allAsync_) {
    received = ::recv(GetHandle(), data, size, MSG_DONTWAIT);
  } else {
    if (!WaitForData(readWaitTime_)) return 0;
    do {
      received = ::recv(GetHandle(), data, size, 0);
    } while (received < 0 && errno == EINTR);
  }
  if (received > 0) return static_cast<unsigned int>(received);
  if (disabled_) {
    errno = EBADF;
    ThrowError(kOrigin, __LINE__);
  }
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  if (received == 0) {
    closed_ = true;
    throw KSocketClosedException("Socket finished, no more data to receive: Socket=%08X - (%s:%d)",
                                 static_cast<unsigned int>(GetHandle()), kOrigin, __LINE__);
  }
  ThrowError(kOrigin, __LINE__);
}

unsigned int KTcpSocket::ReadSome(void* data, unsigned int size) {
  if (size == 0) return 0;
  for (;;) {
    if (GetHandle() < 0 || closed_) {
      errno = GetHandle() < 0 ? EBADF : ENOTCONN;
      ThrowError(kOrigin, __LINE__);
    }
    ssize_t received;
    do {
      received = ::recv(GetHandle(), data, size, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    if (received > 0) return static_cast<unsigned int>(received);
    if (received == 0) {
      closed_ = true;
      throw KSocketClosedException("Socket finished, no more data to receive: Socket=%08X - (%s:%d)",
                                   static_cast<unsigned int>(GetHandle()), kOrigin, __LINE__);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowError(kOrigin, __LINE__);
    if (!WaitForData(readWaitTime_) && ReadsBounded()) {
      errno = ETIMEDOUT;
      ThrowError(kOrigin, __LINE__);
    }
  }
}

unsigned int KTcpSocket::RawWrite(void* data, unsigned int size) {
  if (GetHandle() < 0) {
    errno = EBADF;
    ThrowError(kOrigin, __LINE__);
  }
  if (size == 0) return 0;
  ssize_t sent;
  if (async_ || allAsync_) {
    sent = ::send(GetHandle(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  } else {
    do {
      sent = ::send(GetHandle(), data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
  }
  if (sent < 0) ThrowError(kOrigin, __LINE__);
  return static_cast<unsigned int>(sent);
}

namespace {
void AddressOf(int fd, bool peer, kstring& host, unsigned short& port) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  socklen_t length = sizeof storage;
  const int result = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length)
                          : getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
  if (result != 0) {
    throw KSocketException("Socket error: %s - Socket=%08X - %s (%s:%d)",
                           peer ? "getpeername" : "getsockname", static_cast<unsigned int>(fd),
                           KSocketException::LastError().c_str(), kOrigin, __LINE__);
  }
  GetAddressPort(storage, &host, &port);
}
}  // namespace

void KTcpSocket::GetRemoteAddress(kstring& host, unsigned short& port) {
  AddressOf(GetHandle(), true, host, port);
}

void KTcpSocket::GetLocalAddress(kstring& host, unsigned short& port) {
  AddressOf(GetHandle(), false, host, port);
}

}  // namespace dodudo
