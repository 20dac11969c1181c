#include "DOdudo/LB9/Basics/KClientSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "DOdudo/host/KHostSystem.h"

namespace dodudo {

namespace {
constexpr const char* kOrigin = "DOdudo/LB9/Basics/KClientSocket";
constexpr unsigned int kStringBlock = 2048;
}  // namespace

KClientSocket::KClientSocket()
    : remotePort_(0), connectWaitTime_(kWaitForever), assigned_(false) {}

KClientSocket::~KClientSocket() { SignalFinalization(); }

void KClientSocket::SetRemoteAddress(const char* host, unsigned short port) {
  remoteHost_ = host != nullptr ? host : "";
  remotePort_ = port;
}

void KClientSocket::Assign(int fd, const kstring& host) {
  if (fd >= 0) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  CloseDescriptor();
  fd_ = fd;
  disabled_ = false;
  closed_ = false;
  assigned_ = true;
  remoteHost_ = host;
}

void KClientSocket::CreateSocket() {
  if (assigned_) throw KException("Socket could not be created because it was already assigned");
  if (fd_ >= 0) return;
  const int family = net::IsIPv6Address(remoteHost_) ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    throw KSocketException("Socket error: Socket=%08X - %s (%s:%d)", 0xFFFFFFFFu,
                           KSocketException::LastError().c_str(), kOrigin, __LINE__);
  }
  fd_ = fd;
  disabled_ = false;
  closed_ = false;
}

void KClientSocket::Connect() {
  if (fd_ < 0) throw KException("Socket could not be connected because handle was not created");
  sockaddr_storage address = GetSocketAddress2(remoteHost_, remotePort_);
  if (connectWaitTime_ != kWaitForever && !async_) {
    BoundedConnect(address);
    return;
  }
  int result;
  do {
    result = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result < 0 && errno == EINTR && !async_);
  if (result == 0) return;
  if (async_ && (errno == EAGAIN || errno == EINPROGRESS)) return;
  CloseAndThrow(__LINE__);
}

void KClientSocket::BoundedConnect(const sockaddr_storage& address) {
  // Started without blocking, then waited for through the write poll set, which also holds the
  // self-pipe: another thread's SignalFinalization ends the wait at once.
  SetSocketBlockingMode(fd_, false);
  int result;
  do {
    result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result < 0 && errno == EINTR);
  if (result < 0 && errno != EINPROGRESS) CloseAndThrow(__LINE__);
  if (result < 0) {
    const uint32_t start = KHostSystem::GetTick();
    for (;;) {
      const uint32_t spent = KHostSystem::GetTick() - start;
      if (disabled_) {
        errno = ECANCELED;
        CloseAndThrow(__LINE__);
      }
      if (spent >= connectWaitTime_) {
        errno = ETIMEDOUT;
        CloseAndThrow(__LINE__);
      }
      if (SafeSelect(true, connectWaitTime_ - spent)) break;
    }
    if (disabled_) {
      errno = ECANCELED;
      CloseAndThrow(__LINE__);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) CloseAndThrow(__LINE__);
    if (error != 0) {
      errno = error;
      CloseAndThrow(__LINE__);
    }
  }
  SetSocketBlockingMode(fd_, true);
}

void KClientSocket::SetNoDelay() {
  if (fd_ < 0)
    throw KException("It's not possible to set TCP_NODELAY because handle was not created");
  const int value =
      inet_addr(remoteHost_.c_str()) == inet_addr("127.0.0.1") ? 1 : static_cast<int>(noDelay_);
  if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0) return;
  CloseAndThrow(__LINE__);
}

void KClientSocket::CloseAndThrow(int line) {
  const int error = errno;
  const unsigned int socket = static_cast<unsigned int>(GetHandle());
  CloseDescriptor();
  errno = error;
  throw KSocketException("Socket error: Socket=%08X - %s (%s:%d)", socket,
                         KSocketException::LastError().c_str(), kOrigin, line);
}

void KClientSocket::Open() {
  CreateSocket();
  Connect();
  SetNoDelay();
}

void KClientSocket::Open(const char* host, unsigned short port) {
  SetRemoteAddress(host, port);
  Open();
}

unsigned int KClientSocket::Write(void* data, unsigned int size) {
  auto* bytes = static_cast<unsigned char*>(data);
  if (writeWaitTime_ != kWaitForever && !async_ && !allAsync_) return BoundedWrite(bytes, size);
  unsigned int done = 0;
  unsigned int last = 0;
  do {
    last = RawWrite(bytes + done, size - done);
    done += last;
    if (async_) break;
  } while (done < size);
  return last;
}

unsigned int KClientSocket::BoundedWrite(unsigned char* bytes, unsigned int size) {
  // One time limit over the whole write: a peer taking a byte now and then cannot stretch it.
  const uint32_t limit = writeWaitTime_;
  const uint32_t start = KHostSystem::GetTick();
  unsigned int done = 0;
  ssize_t sent = 0;
  while (done < size) {
    const int fd = GetHandle();
    if (fd < 0) {
      errno = EBADF;
      ThrowError(kOrigin, __LINE__);
    }
    sent = ::send(fd, bytes + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<unsigned int>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ThrowError(kOrigin, __LINE__);
    const uint32_t spent = KHostSystem::GetTick() - start;
    if (spent >= limit || !SafeSelect(true, limit - spent)) {
      // The peer does not read. Part of the frame may be out already: the stream is lost, and
      // shutting it down also ends the reader of this socket.
      const unsigned int handle = static_cast<unsigned int>(GetHandle());
      SignalFinalization();
      throw KSocketException(
          "Socket error: Socket=%08X - peer took no data for %u ms, %u of %u bytes written (%s:%d)",
          handle, limit, done, size, kOrigin, __LINE__);
    }
  }
  return static_cast<unsigned int>(sent);
}

unsigned int KClientSocket::Write(const kstring& text) {
  return Write(const_cast<char*>(text.data()), static_cast<unsigned int>(text.size()));
}

unsigned int KClientSocket::Read(void* data, unsigned int size) {
  auto* bytes = static_cast<unsigned char*>(data);
  unsigned int done = 0;
  for (;;) {
    const unsigned int got = RawRead(bytes + done, size - done);
    if (async_) return got;
    done += got;
    if (done >= size) return size;
    if (got == 0) {
      // The wait ran out (or the deadline has passed) with nothing there.
      if (ReadsBounded()) {
        errno = ETIMEDOUT;
        ThrowError(kOrigin, __LINE__);
      }
      continue;
    }
    if (!WaitForData(readWaitTime_)) {
      errno = ETIMEDOUT;
      ThrowError(kOrigin, __LINE__);
    }
  }
}

unsigned int KClientSocket::Read(kstring& text) {
  text.clear();
  char block[kStringBlock];
  unsigned int got = 0;
  for (;;) {
    got = RawRead(block, kStringBlock);
    text.append(block, got);
    if (got < kStringBlock || !WaitForData(1)) return got;
  }
}

}  // namespace dodudo
