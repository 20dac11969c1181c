#include "DOdudo/KLogServerLink.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "DOdudo/KLogMessage.h"
#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KSocketAddress.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"

void KLogServerLink::AppendFrame(std::string& out, dodudo::KSerializable& record) {
  dodudo::KStringSerializer::AppendFrame(out, record);
}

struct KLogServerLink::Impl {
  std::unique_ptr<dodudo::KSocketIpcChannel> channel;
  std::atomic<bool> terminated{false};
  std::vector<unsigned char> frame;  // the receiver's
};

namespace {

[[noreturn]] void Fail(int fd, int error, const std::string& host, uint16_t port) {
  if (fd >= 0) close(fd);
  errno = error;
  throw dodudo::KSocketException("Socket error: connecting to %s:%u - %s", host.c_str(),
                                 static_cast<unsigned int>(port),
                                 dodudo::KSocketException::LastError().c_str());
}

// A connected descriptor. The connection is made without blocking, so that a stalled server (its
// SYN unanswered) costs at most kConnectMs and a set `cancel` ends the wait: the process's end
// must not hang on it.
int ConnectSocket(const std::string& host, uint16_t port, const std::atomic<bool>* cancel) {
  sockaddr_storage address = dodudo::GetSocketAddress2(host, port);
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) Fail(-1, errno, host, port);
  socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno != EINPROGRESS) Fail(fd, errno, host, port);
    const auto give =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(KLogServerLink::kConnectMs);
    for (;;) {
      if (cancel != nullptr && cancel->load()) Fail(fd, ECANCELED, host, port);
      if (std::chrono::steady_clock::now() > give) Fail(fd, ETIMEDOUT, host, port);
      pollfd wait{fd, POLLOUT, 0};
      int ready = poll(&wait, 1, 20);
      if (ready < 0 && errno != EINTR) Fail(fd, errno, host, port);
      if (ready > 0) break;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) Fail(fd, error, host, port);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

KLogServerLink::KLogServerLink(const std::string& host, uint16_t port,
                               const std::atomic<bool>* cancel)
    : impl_(new Impl) {
  int fd = ConnectSocket(host, port, cancel);
  std::string why;
  if (!PeerTrusted(fd, why)) {
    close(fd);
    throw Untrusted(dodudo::fstring("Log server at %s:%u refused: %s", host.c_str(),
                                    static_cast<unsigned int>(port), why.c_str()));
  }
  auto socket = std::make_unique<dodudo::KClientSocket>();
  socket->SetRemoteAddress(host.c_str(), port);
  socket->Assign(fd, host);
  impl_->channel.reset(new dodudo::KSocketIpcChannel(socket.get()));
  socket.release();
}

KLogServerLink::~KLogServerLink() = default;

bool KLogServerLink::Receive(dodudo::KReloadMessage& message) {
  dodudo::KTcpSocket* socket = impl_->channel->GetSocket();
  std::vector<unsigned char>& frame = impl_->frame;
  try {
    if (impl_->terminated.load() || !socket->WaitForData(dodudo::KTcpSocket::kWaitForever) ||
        impl_->terminated.load()) {
      return false;
    }
    unsigned char header[4];
    socket->Read(header, sizeof header);
    const uint32_t count = static_cast<uint32_t>(header[0]) |
                           static_cast<uint32_t>(header[1]) << 8 |
                           static_cast<uint32_t>(header[2]) << 16 |
                           static_cast<uint32_t>(header[3]) << 24;
    // Skipping a larger one would mean reading whatever the peer cares to send.
    if (count > kMaxReloadRecord) {
      throw Malformed(dodudo::fstring("Frame of %u bytes exceeds the limit of %u", count,
                                      kMaxReloadRecord));
    }
    frame.resize(count);
    if (count > 0) socket->Read(frame.data(), count);
  } catch (const dodudo::KSocketException& e) {
    throw Closed(e.what());
  }
  try {
    message.Decode(frame.data(), static_cast<unsigned int>(frame.size()));
  } catch (const std::exception& e) {
    throw Malformed(e.what());
  }
  return true;
}

void KLogServerLink::Send(dodudo::KSerializable& record) {
  if (!impl_->channel->Send(record)) throw std::runtime_error("log server channel terminated");
}

void KLogServerLink::SendBytes(const std::string& frames) {
  dodudo::KTcpSocket* socket = impl_->channel->GetSocket();
  // A peer that has gone (its end of the stream arrived, or the link was shut) takes no more
  // records: a send would still succeed once into the dead connection and lose them.
  tcp_info info{};
  socklen_t length = sizeof info;
  int fd = socket->GetHandle();
  if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      info.tcpi_state != TCP_ESTABLISHED) {
    throw Closed("Log server connection closed");
  }
  dodudo::KMutex* lock = socket->GetWriteMutex();
  if (lock != nullptr) lock->Lock();
  try {
    socket->Write(const_cast<char*>(frames.data()), static_cast<unsigned int>(frames.size()));
  } catch (...) {
    if (lock != nullptr) lock->Unlock();
    throw;
  }
  if (lock != nullptr) lock->Unlock();
}

void KLogServerLink::Terminate() {
  impl_->terminated.store(true);
  impl_->channel->Terminate();
}

void KLogServerLink::Shutdown() {
  Terminate();
  impl_->channel->GetSocket()->SignalFinalization();
}

void KLogServerLink::FinishSending() {
  int fd = impl_->channel->GetSocket()->GetHandle();
  if (fd >= 0) shutdown(fd, SHUT_WR);
}

void KLogServerLink::ForgetInChild() {
  if (auto* socket = dynamic_cast<dodudo::KClientSocket*>(impl_->channel->GetSocket()))
    socket->Assign(-1, socket->GetRemoteHost());
}
