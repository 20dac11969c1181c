#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KString.h"

namespace dodudo {

// 1 selects IPv6; any other value selects IPv4.
enum KAddressFamily : int { KAF_INET = 0, KAF_INET6 = 1 };

// The socket address for host and port (port stored in network order). An empty host is the IPv4
// wildcard; an IPv6 literal may carry a numeric scope id after '%' ("fe80::1%2"); a dotted IPv4
// address is used as it stands; anything else is resolved as an IPv4 name. An unresolvable name
// throws KSocketException "Socket error: Invalid address - ...".
DODUDO_API sockaddr_storage GetSocketAddress2(kstring host, unsigned short port);
// The IPv4 part of GetSocketAddress2.
DODUDO_API sockaddr_in GetSocketAddress(kstring host, unsigned short port);
// The text of an address (IPv4 or IPv6); empty when it cannot be converted.
DODUDO_API kstring GetSocketAddress(const sockaddr_storage& address);
DODUDO_API kstring GetSocketAddress(const sockaddr_in& address);
// Fills whichever of host and port is not null; the port in host order.
DODUDO_API void GetAddressPort(sockaddr_storage& address, kstring* host, unsigned short* port);
// Clears (blocking) or sets (non-blocking) O_NONBLOCK; failures throw KSocketException.
DODUDO_API void SetSocketBlockingMode(int fd, bool blocking);

namespace net {
// A dotted IPv4 address other than 0.0.0.0 and 255.255.255.255.
DODUDO_API bool IsIPAddress(kstring host);
// An IPv6 literal, optionally followed by '%' and a scope.
DODUDO_API bool IsIPv6Address(kstring host);
}  // namespace net

}  // namespace dodudo
