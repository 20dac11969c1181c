// Whether a log server on this machine may be trusted: the kernel knows which user owns the
// socket at the server's end of a connection, and only root or the process's own user may steer
// the logging of this process (push filters, order reloads, receive its lines).
#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "DOdudo/KLogServerLink.h"
#include "DOdudo/host/KString.h"

namespace {

bool IsLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
}

// An address of one of this machine's interfaces (in this network namespace) can be bound.
bool IsOwnAddress(sockaddr_storage address) {
  int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (address.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(address).sin_port = 0;
  } else {
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = 0;
  }
  bool own = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return own;
}

void CopyAddress(const sockaddr_storage& address, __be16& port, __be32 (&words)[4]) {
  std::memset(words, 0, sizeof words);
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    port = v4.sin_port;
    words[0] = v4.sin_addr.s_addr;
  } else {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    port = v6.sin6_port;
    std::memcpy(words, &v6.sin6_addr, 16);
  }
}

enum class Lookup { kFound, kNotYet, kFailed };

// Asks the kernel (sock_diag) for the socket whose local end is `server` and remote end `client`:
// the server's end of this very connection, or the listener it is still queued on. A connection
// not yet accepted by the kernel shows as a request whose owner the kernel does not report.
Lookup ServerSocketOwner(const sockaddr_storage& server, const sockaddr_storage& client,
                         uid_t& owner, std::string& why) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) {
    why = dodudo::fstring("socket diagnostics unavailable (%s)", strerror(errno));
    return Lookup::kFailed;
  }
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = static_cast<__u8>(client.ss_family);
  query.request.sdiag_protocol = IPPROTO_TCP;
  query.request.idiag_states = ~0u;
  CopyAddress(server, query.request.id.idiag_sport, query.request.id.idiag_src);
  CopyAddress(client, query.request.id.idiag_dport, query.request.id.idiag_dst);
  query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  alignas(nlmsghdr) char reply[8192];
  ssize_t n = -1;
  if (sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
      static_cast<ssize_t>(sizeof query)) {
    timeval wait{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    n = recv(fd, reply, sizeof reply, 0);
  }
  int error = errno;
  close(fd);
  if (n < static_cast<ssize_t>(sizeof(nlmsghdr))) {
    why = dodudo::fstring("socket diagnostics failed (%s)", strerror(error));
    return Lookup::kFailed;
  }
  auto* header = reinterpret_cast<nlmsghdr*>(reply);
  if (header->nlmsg_type == NLMSG_ERROR) {
    int code = -reinterpret_cast<nlmsgerr*>(NLMSG_DATA(header))->error;
    if (code == ENOENT) return Lookup::kNotYet;
    why = dodudo::fstring("socket diagnostics failed (%s)", strerror(code));
    return Lookup::kFailed;
  }
  if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
    why = "socket diagnostics gave no answer";
    return Lookup::kFailed;
  }
  auto* message = reinterpret_cast<inet_diag_msg*>(NLMSG_DATA(header));
  if (message->idiag_state == TCP_SYN_RECV) return Lookup::kNotYet;
  owner = message->idiag_uid;
  return Lookup::kFound;
}

}  // namespace

bool KLogServerLink::PeerTrusted(int fd, std::string& why) {
  sockaddr_storage client{}, server{};
  socklen_t clientLength = sizeof client, serverLength = sizeof server;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&client), &clientLength) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&server), &serverLength) != 0) {
    why = dodudo::fstring("connection lost (%s)", strerror(errno));
    return false;
  }
  if (server.ss_family != AF_INET && server.ss_family != AF_INET6) return true;
  if (!IsLoopback(server) && !IsOwnAddress(server)) return true;  // another machine's server
  // The kernel turns the request into the server's socket as soon as our acknowledgement
  // arrives, on the loopback within microseconds.
  const auto give = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  uid_t owner = 0;
  Lookup found;
  while ((found = ServerSocketOwner(server, client, owner, why)) == Lookup::kNotYet) {
    if (std::chrono::steady_clock::now() > give) {
      why = "the server's socket was not found";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (found == Lookup::kFailed) return false;
  if (owner == 0 || owner == geteuid()) return true;
  why = dodudo::fstring("its socket belongs to uid %u, neither root nor this process's user",
                        static_cast<unsigned int>(owner));
  return false;
}
