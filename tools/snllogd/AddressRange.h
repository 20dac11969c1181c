#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace snllogd {

// A network given as ADDRESS/BITS ("10.1.0.0/16", "fd00::/8"; a bare address is the host alone).
// An IPv4 range also matches the same addresses seen as IPv4-mapped IPv6 peers (::ffff:10.1.2.3),
// which is how a server listening on "::" sees IPv4 clients.
class AddressRange {
 public:
  // False, with `range` unchanged, when text is not such a network.
  static bool Parse(const std::string& text, AddressRange& range);
  bool Contains(const sockaddr_storage& peer) const;

 private:
  bool v6_ = false;
  uint8_t bytes_[16] = {};
  int bits_ = 0;
};

// True for 127.0.0.0/8, ::1 and IPv4-mapped 127.x.y.z: peers on this machine.
bool IsLoopback(const sockaddr_storage& peer);

// The peer's address as text, an IPv4-mapped peer in its IPv4 form ("10.1.2.3"), so that a client
// gets the same directory whichever family the server listens on.
std::string AddressText(const sockaddr_storage& peer);

}  // namespace snllogd
