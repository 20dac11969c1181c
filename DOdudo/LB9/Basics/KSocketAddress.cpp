#include "DOdudo/LB9/Basics/KSocketAddress.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>

#include <cstdlib>
#include <cstring>

#include "DOdudo/LB9/Basics/KSocketException.h"

namespace dodudo {

namespace {
constexpr const char* kOrigin = "DOdudo/LB9/Basics/KBaseSocket";

// The part of host before the first '%'.
kstring WithoutScope(const kstring& host) {
  const auto percent = host.find('%');
  return percent == kstring::npos ? host : kstring(host.substr(0, percent));
}

// The number after the first '%', or -1 when there is none or it is not a number.
long long ScopeOf(const kstring& host) {
  const auto percent = host.find('%');
  if (percent == kstring::npos || percent + 1 >= host.size()) return -1;
  const char* text = host.c_str() + percent + 1;
  char* end = nullptr;
  errno = 0;
  const long long scope = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || scope > 0xFFFFFFFFLL) return -1;
  return scope;
}
}  // namespace

sockaddr_storage GetSocketAddress2(kstring host, unsigned short port) {
  sockaddr_storage storage;
  std::memset(&storage, 0, sizeof storage);
  if (host.empty()) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    v4->sin_port = htons(port);
    return storage;
  }
  if (net::IsIPv6Address(host)) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, WithoutScope(host).c_str(), &v6->sin6_addr);
    const long long scope = ScopeOf(host);
    if (scope >= 0) v6->sin6_scope_id = static_cast<uint32_t>(scope);
    v6->sin6_port = htons(port);
    return storage;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  v4->sin_family = AF_INET;
  v4->sin_port = htons(port);
  const in_addr_t literal = inet_addr(host.c_str());
  if (literal != 0 && literal != INADDR_NONE) {
    v4->sin_addr.s_addr = literal;
    return storage;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    throw KSocketException("Socket error: %s - %s", "Invalid address",
                           KSocketException::LastError().c_str());
  }
  v4->sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return storage;
}

sockaddr_in GetSocketAddress(kstring host, unsigned short port) {
  const sockaddr_storage storage = GetSocketAddress2(std::move(host), port);
  sockaddr_in v4;
  std::memcpy(&v4, &storage, sizeof v4);
  return v4;
}

kstring GetSocketAddress(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    char text[100];
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) == nullptr) return kstring();
    return kstring(text);
  }
  return GetSocketAddress(*reinterpret_cast<const sockaddr_in*>(&address));
}

kstring GetSocketAddress(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN];
  // inet_ntop instead of inet_ntoa: same text, without the shared static buffer.
  if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return kstring();
  return kstring(text);
}

void GetAddressPort(sockaddr_storage& address, kstring* host, unsigned short* port) {
  if (host != nullptr) *host = GetSocketAddress(address);
  if (port == nullptr) return;
  if (address.ss_family == AF_INET6)
    *port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  else
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

void SetSocketBlockingMode(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    throw KSocketException("Socket error: %s - Socket=%08X - %s (%s:%d)",
                           "Failed to get socket flags", static_cast<unsigned int>(fd),
                           KSocketException::LastError().c_str(), kOrigin, __LINE__);
  }
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (fcntl(fd, F_SETFL, wanted) < 0) {
    kstring what;
    what.sprintf("Failed to change socket I/O mode to %s", blocking ? "blocking" : "non-blocking");
    throw KSocketException("Socket error: %s - Socket=%08X - %s (%s:%d)", what.c_str(),
                           static_cast<unsigned int>(fd), KSocketException::LastError().c_str(),
                           kOrigin, __LINE__);
  }
}

namespace net {

bool IsIPAddress(kstring host) {
  const in_addr_t address = inet_addr(host.c_str());
  return address != 0 && address != INADDR_NONE;
}

bool IsIPv6Address(kstring host) {
  in6_addr address;
  return inet_pton(AF_INET6, WithoutScope(host).c_str(), &address) == 1;
}

}  // namespace net

}  // namespace dodudo
