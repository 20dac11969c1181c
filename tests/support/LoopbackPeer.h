#pragma once

// The far end of a socket under test: a listener on a loopback address with an ephemeral port,
// and plain blocking helpers that move raw bytes, so tests see exactly what crossed the wire.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace snltest {

// A descriptor closed on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Listens on host ("127.0.0.1" or "::1") at an ephemeral port.
class LoopbackListener {
 public:
  explicit LoopbackListener(const char* host = "127.0.0.1") {
    sockaddr_storage address{};
    socklen_t length;
    if (std::strchr(host, ':') != nullptr) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
      v6->sin6_family = AF_INET6;
      inet_pton(AF_INET6, host, &v6->sin6_addr);
      length = sizeof *v6;
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
      v4->sin_family = AF_INET;
      inet_pton(AF_INET, host, &v4->sin_addr);
      length = sizeof *v4;
    }
    fd_ = Fd(::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    setsockopt(fd_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd_.Get(), 16) != 0) {
      fd_.Reset();
      return;
    }
    getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ =
        ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }

  bool Ok() const { return fd_.Get() >= 0; }
  unsigned short Port() const { return port_; }

  // The next connection, or an invalid Fd when none comes within timeoutMs.
  Fd Accept(int timeoutMs = 10000) {
    pollfd entry{fd_.Get(), POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return Fd();
    return Fd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  Fd fd_;
  unsigned short port_ = 0;
};

inline bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

inline bool WriteAll(int fd, const std::string& bytes) {
  return WriteAll(fd, bytes.data(), bytes.size());
}

// Up to size bytes, fewer when the stream ends or nothing comes for timeoutMs.
inline std::string ReadBytes(int fd, size_t size, int timeoutMs = 10000) {
  std::string bytes;
  char block[4096];
  while (bytes.size() < size) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) break;
    const size_t want = std::min(sizeof block, size - bytes.size());
    const ssize_t got = ::recv(fd, block, want, 0);
    if (got <= 0) break;
    bytes.append(block, static_cast<size_t>(got));
  }
  return bytes;
}

// Everything until the peer closes (or nothing comes for timeoutMs).
inline std::string ReadToEnd(int fd, int timeoutMs = 10000) {
  return ReadBytes(fd, static_cast<size_t>(-1), timeoutMs);
}

}  // namespace snltest
