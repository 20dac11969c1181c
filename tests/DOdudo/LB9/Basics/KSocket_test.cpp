// TCP sockets on real loopback connections: addresses, connecting, exact reads and writes, the
// texts of failures, the peer closing, and waking a blocked socket from a third thread.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KSocketAddress.h"
#include "DOdudo/LB9/Basics/KSocketPoll.h"
#include "support/LoopbackPeer.h"

using dodudo::KClientSocket;
using dodudo::KSocketClosedException;
using dodudo::KSocketException;
using snltest::Fd;
using snltest::LoopbackListener;
using testing::MatchesRegex;

namespace {

template <typename E, typename F>
std::string TextOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

std::string Hex8(int fd) {
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned int>(fd));
  return text;
}

// A connected client and the accepted far end.
struct Connection {
  explicit Connection(const char* host = "127.0.0.1") : listener(host) {
    client.Open(host, listener.Port());
    peer = listener.Accept();
  }
  LoopbackListener listener;
  KClientSocket client;
  Fd peer;
};

TEST(SocketAddress, LiteralsScopesWildcardAndNames) {
  sockaddr_storage v6 = dodudo::GetSocketAddress2("fe80::1%2", 14110);
  ASSERT_EQ(v6.ss_family, AF_INET6);
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&v6);
  EXPECT_EQ(in6->sin6_scope_id, 2u);
  EXPECT_EQ(in6->sin6_port, htons(14110));
  EXPECT_EQ(dodudo::GetSocketAddress(v6), "fe80::1");

  sockaddr_storage any = dodudo::GetSocketAddress2("", 80);
  ASSERT_EQ(any.ss_family, AF_INET);
  EXPECT_EQ(reinterpret_cast<const sockaddr_in*>(&any)->sin_addr.s_addr, htonl(INADDR_ANY));

  sockaddr_in loop = dodudo::GetSocketAddress("127.0.0.1", 5);
  EXPECT_EQ(dodudo::GetSocketAddress(loop), "127.0.0.1");
  sockaddr_storage named = dodudo::GetSocketAddress2("localhost", 7);
  dodudo::kstring host;
  unsigned short port = 0;
  dodudo::GetAddressPort(named, &host, &port);
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 7);

  EXPECT_THAT(
      TextOf<KSocketException>([] { dodudo::GetSocketAddress2("no-such-host.invalid", 1); }),
      MatchesRegex("Socket error: Invalid address - .* \\(errno=[0-9]+\\)"));

  EXPECT_TRUE(dodudo::net::IsIPAddress("10.1.2.3"));
  EXPECT_FALSE(dodudo::net::IsIPAddress("0.0.0.0"));
  EXPECT_FALSE(dodudo::net::IsIPAddress("255.255.255.255"));
  EXPECT_FALSE(dodudo::net::IsIPAddress("::1"));
  EXPECT_TRUE(dodudo::net::IsIPv6Address("::1"));
  EXPECT_TRUE(dodudo::net::IsIPv6Address("fe80::1%eth0"));
  EXPECT_FALSE(dodudo::net::IsIPv6Address("127.0.0.1"));
}

TEST(SocketPoll, GrowsKeepsEntriesAndRemoves) {
  dodudo::KSocketPoll poll(2);
  EXPECT_EQ(poll.Add(10, dodudo::KSocketPoll::Read), 0u);
  EXPECT_EQ(poll.Add(11, dodudo::KSocketPoll::Write), 1u);
  EXPECT_EQ(poll.Add(12, dodudo::KSocketPoll::Read | dodudo::KSocketPoll::Write), 2u);
  EXPECT_EQ(poll.Capacity(), 4u);
  EXPECT_EQ(poll.Count(), 3u);
  poll.Del(12, dodudo::KSocketPoll::Read);
  EXPECT_EQ(poll.Count(), 3u);
  poll.Del(10, dodudo::KSocketPoll::Read);
  poll.Del(99, dodudo::KSocketPoll::Read);
  EXPECT_EQ(poll.Count(), 2u);
  EXPECT_EQ(poll.Descriptor(0), 11);
  EXPECT_EQ(poll.Descriptor(1), 12);
  EXPECT_EQ(poll.Descriptor(2), -1);
  EXPECT_EQ(poll.Events(4), 0);
  EXPECT_EQ(poll.Events(100), 0);
}

class LoopbackSocket : public testing::TestWithParam<const char*> {};

TEST_P(LoopbackSocket, MovesExactBytesBothWays) {
  Connection c(GetParam());
  ASSERT_GE(c.peer.Get(), 0);
  EXPECT_TRUE(c.client.IsConnected());
  dodudo::kstring host;
  unsigned short port = 0;
  c.client.GetRemoteAddress(host, port);
  EXPECT_EQ(host, GetParam());
  EXPECT_EQ(port, c.listener.Port());

  std::string big(100000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  auto reader =
      std::async(std::launch::async, [&] { return snltest::ReadBytes(c.peer.Get(), big.size()); });
  c.client.Write(big.data(), static_cast<unsigned int>(big.size()));
  EXPECT_EQ(reader.get(), big);

  // The exact read gathers a message that arrives in pieces.
  auto writer = std::async(std::launch::async, [&] {
    snltest::WriteAll(c.peer.Get(), "hello ");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    snltest::WriteAll(c.peer.Get(), "world");
  });
  char text[11];
  EXPECT_EQ(c.client.Read(text, sizeof text), sizeof text);
  EXPECT_EQ(std::string(text, sizeof text), "hello world");
  writer.get();
}

INSTANTIATE_TEST_SUITE_P(V4AndV6, LoopbackSocket, testing::Values("127.0.0.1", "::1"));

TEST(ClientSocket, NoDelayTowardsLoopbackWhateverTheField) {
  Connection c;
  c.client.SetNoDelayValue(0);
  c.client.SetNoDelay();
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(getsockopt(c.client.GetHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
  EXPECT_EQ(value, 1);
  EXPECT_NE(fcntl(c.client.GetHandle(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(ClientSocket, FailuresNameTheSocketTheCauseAndThePlace) {
  KClientSocket refused;
  unsigned short port;
  {
    LoopbackListener gone;
    port = gone.Port();
  }
  EXPECT_THAT(TextOf<KSocketException>([&] { refused.Open("127.0.0.1", port); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Connection refused \\(errno=111\\) "
                           "\\(DOdudo/LB9/Basics/KClientSocket:[0-9]+\\)"));
  EXPECT_EQ(refused.GetHandle(), -1);

  KClientSocket bare;
  EXPECT_EQ(TextOf<dodudo::KException>([&] { bare.Connect(); }),
            "Socket could not be connected because handle was not created");
  EXPECT_EQ(TextOf<dodudo::KException>([&] { bare.SetNoDelay(); }),
            "It's not possible to set TCP_NODELAY because handle was not created");
  char byte = 0;
  EXPECT_THAT(TextOf<KSocketException>([&] { bare.RawRead(&byte, 0); }),
              MatchesRegex("Socket error: Socket=FFFFFFFF - Bad file descriptor \\(errno=9\\) "
                           "\\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
  EXPECT_THAT(TextOf<KSocketException>([&] { bare.SafeSelect(false, 0); }),
              MatchesRegex("Socket error: Invalid handle - Socket=FFFFFFFF - Bad file descriptor "
                           "\\(errno=9\\) \\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
  EXPECT_FALSE(bare.WaitForData(0));
  EXPECT_FALSE(bare.IsConnected());

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  Fd other(pair[1]);
  KClientSocket adopted;
  adopted.Assign(pair[0], "peer");
  EXPECT_EQ(TextOf<dodudo::KException>([&] { adopted.CreateSocket(); }),
            "Socket could not be created because it was already assigned");
  EXPECT_EQ(adopted.RawWrite(&byte, 0), 0u);
  EXPECT_EQ(adopted.RawRead(&byte, 0), 0u);
}

TEST(ClientSocket, PeerCloseThenEveryReadFailsAtOnce) {
  Connection c;
  snltest::WriteAll(c.peer.Get(), "ab");
  c.peer.Reset();
  char bytes[2];
  EXPECT_EQ(c.client.Read(bytes, 2), 2u);
  const std::string fd = Hex8(c.client.GetHandle());
  EXPECT_THAT(TextOf<KSocketClosedException>([&] { c.client.RawRead(bytes, 1); }),
              MatchesRegex("Socket finished, no more data to receive: Socket=" + fd +
                           " - \\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
  EXPECT_TRUE(c.client.IsClosed());
  // Later reads fail as plain socket errors, without waiting for anything.
  bool closedAgain = false;
  try {
    c.client.RawRead(bytes, 1);
  } catch (const KSocketClosedException&) {
    closedAgain = true;
  } catch (const KSocketException& e) {
    EXPECT_THAT(e.what(), MatchesRegex("Socket error: Socket=" + fd + " - .*"));
  }
  EXPECT_FALSE(closedAgain);
}

TEST(ClientSocket, ResetByPeerIsASocketError) {
  Connection c;
  linger hard{1, 0};
  setsockopt(c.peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  c.peer.Reset();
  char byte;
  EXPECT_THAT(TextOf<KSocketException>([&] { c.client.Read(&byte, 1); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Connection reset by peer "
                           "\\(errno=104\\) \\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
}

TEST(ClientSocket, AsyncReadReturnsZeroWithoutData) {
  Connection c;
  c.client.SetAsync();
  char byte;
  EXPECT_EQ(c.client.RawRead(&byte, 1), 0u);
  EXPECT_EQ(c.client.Read(&byte, 1), 0u);
  EXPECT_EQ(c.client.GetReadWaitTime(), 0u);
}

// SignalFinalization from a third thread wakes a reader waiting without limit and a writer stuck
// on a peer that does not read; both then fail, and the descriptor number stays reserved until
// the socket is destroyed, so nothing the threads still do can reach a reused number.
TEST(ClientSocket, FinalizationWakesReaderAndWriterAndKeepsTheNumber) {
  Connection c;
  const int number = c.client.GetHandle();
  auto reader = std::async(std::launch::async, [&] {
    c.client.WaitForData(KClientSocket::kWaitForever);
    char byte;
    return TextOf<KSocketException>([&] { c.client.RawRead(&byte, 1); });
  });
  auto writer = std::async(std::launch::async, [&] {
    std::string block(1 << 20, 'w');
    return TextOf<KSocketException>([&] {
      for (;;) c.client.Write(block.data(), static_cast<unsigned int>(block.size()));
    });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  c.client.SignalFinalization();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_THAT(reader.get(), MatchesRegex("Socket error: Socket=FFFFFFFF - .*"));
  EXPECT_THAT(writer.get(), MatchesRegex("Socket error: Socket=[0-9A-F]{8} - .*"));
  EXPECT_EQ(c.client.GetHandle(), -1);
  EXPECT_NE(fcntl(number, F_GETFD), -1);
}

}  // namespace
