#pragma once

// The far end of a socket under test: a listener on a loopback address with an ephemeral port,
// plain blocking helpers that move raw bytes, so tests see exactly what crossed the wire, and the
// texts of failures.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace snltest {

// A descriptor closed on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Listens on host ("127.0.0.1" or "::1") at an ephemeral port, with the given receive buffer for
// the connections it accepts (0: the system's).
class LoopbackListener {
 public:
  explicit LoopbackListener(const char* host = "127.0.0.1", int receiveBuffer = 0) {
    sockaddr_in6 address{};  // large enough for both families
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    const bool v6 = std::strchr(host, ':') != nullptr;
    address.sin6_family = v6 ? AF_INET6 : AF_INET;
    inet_pton(address.sin6_family, host,
              v6 ? static_cast<void*>(&address.sin6_addr) : &v4->sin_addr);
    socklen_t length = v6 ? sizeof address : sizeof *v4;
    fd_.Reset(::socket(address.sin6_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0)
      setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length);
    ::listen(fd_.Get(), 16);
    getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin6_port);  // same place as sin_port
  }
  unsigned short Port() const { return port_; }
  // The next connection, or an invalid descriptor when none comes within timeoutMs.
  int Accept(int timeoutMs = 10000) {
    pollfd entry{fd_.Get(), POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return -1;
    return ::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  Fd fd_;
  unsigned short port_ = 0;
};

inline bool WriteAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

// Up to size bytes (by default everything until the stream ends), fewer when nothing comes for
// timeoutMs.
inline std::string ReadBytes(int fd, size_t size = std::string::npos, int timeoutMs = 10000) {
  std::string bytes;
  char block[4096];
  pollfd entry{fd, POLLIN, 0};
  while (bytes.size() < size && ::poll(&entry, 1, timeoutMs) == 1) {
    const ssize_t got = ::recv(fd, block, std::min(sizeof block, size - bytes.size()), 0);
    if (got <= 0) break;
    bytes.append(block, static_cast<size_t>(got));
  }
  return bytes;
}

// The text of the exception of type E that call throws, or "<no exception>".
template <typename E = std::exception, typename F>
std::string TextOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace snltest
