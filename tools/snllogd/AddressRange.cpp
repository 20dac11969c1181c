#include "tools/snllogd/AddressRange.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

namespace snllogd {

namespace {

// The peer's address as 4 bytes (IPv4, mapped IPv6 included) or 16; its length, 0 for others.
int PeerBytes(const sockaddr_storage& peer, uint8_t out[16]) {
  if (peer.ss_family == AF_INET) {
    memcpy(out, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, 4);
    return 4;
  }
  if (peer.ss_family != AF_INET6) return 0;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    memcpy(out, a.s6_addr + 12, 4);
    return 4;
  }
  memcpy(out, a.s6_addr, 16);
  return 16;
}

}  // namespace

bool AddressRange::Parse(const std::string& text, AddressRange& range) {
  AddressRange parsed;
  size_t slash = text.find('/');
  std::string address = text.substr(0, slash);
  if (inet_pton(AF_INET, address.c_str(), parsed.bytes_) == 1) {
    parsed.bits_ = 32;
  } else if (inet_pton(AF_INET6, address.c_str(), parsed.bytes_) == 1) {
    parsed.v6_ = true;
    parsed.bits_ = 128;
  } else {
    return false;
  }
  if (slash != std::string::npos) {
    std::string bits = text.substr(slash + 1);
    char* end = nullptr;
    long value = strtol(bits.c_str(), &end, 10);
    if (bits.empty() || bits.size() > 3 || *end != '\0' || value < 0 || value > parsed.bits_)
      return false;
    parsed.bits_ = static_cast<int>(value);
  }
  range = parsed;
  return true;
}

bool AddressRange::Contains(const sockaddr_storage& peer) const {
  uint8_t bytes[16];
  if (PeerBytes(peer, bytes) != (v6_ ? 16 : 4)) return false;
  int full = bits_ / 8;
  if (memcmp(bytes, bytes_, static_cast<size_t>(full)) != 0) return false;
  int rest = bits_ % 8;
  if (rest == 0) return true;
  uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (bytes[full] & mask) == (bytes_[full] & mask);
}

bool IsLoopback(const sockaddr_storage& peer) {
  uint8_t bytes[16];
  int length = PeerBytes(peer, bytes);
  if (length == 4) return bytes[0] == 127;
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return length == 16 && memcmp(bytes, kLoopback6, 16) == 0;
}

std::string AddressText(const sockaddr_storage& peer) {
  uint8_t bytes[16];
  int length = PeerBytes(peer, bytes);
  char text[INET6_ADDRSTRLEN] = "unknown";
  if (length != 0) inet_ntop(length == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
  return text;
}

}  // namespace snllogd
