// TCP sockets on real loopback connections: addresses, exact reads and writes, the texts of
// failures, the peer closing or resetting, and waking a blocked socket from a third thread.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <netinet/tcp.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "DOdudo/LB9/KIPC/IpcTestSupport.h"

using dodudo::KClientSocket;
using ipctest::Connection;
using snltest::TextOf;
using testing::MatchesRegex;

namespace {

TEST(SocketAddress, LiteralsScopesWildcardAndNames) {
  sockaddr_storage v6 = dodudo::GetSocketAddress2("fe80::1%2", 14110);
  ASSERT_EQ(v6.ss_family, AF_INET6);
  EXPECT_EQ(reinterpret_cast<sockaddr_in6*>(&v6)->sin6_scope_id, 2u);
  dodudo::kstring host;
  unsigned short port = 0;
  dodudo::GetAddressPort(v6, &host, &port);
  EXPECT_EQ(host + ":" + std::to_string(port), "fe80::1:14110");
  sockaddr_storage any = dodudo::GetSocketAddress2("", 80);
  EXPECT_EQ(dodudo::GetSocketAddress(any), "0.0.0.0");
  sockaddr_storage named = dodudo::GetSocketAddress2("localhost", 7);
  EXPECT_EQ(dodudo::GetSocketAddress(named), "127.0.0.1");
  EXPECT_THAT(TextOf([] { dodudo::GetSocketAddress2("no-such-host.invalid", 1); }),
              MatchesRegex("Socket error: Invalid address - .* \\(errno=[0-9]+\\)"));
  EXPECT_TRUE(dodudo::net::IsIPAddress("10.1.2.3"));
  EXPECT_FALSE(dodudo::net::IsIPAddress("0.0.0.0") || dodudo::net::IsIPAddress("255.255.255.255"));
  EXPECT_TRUE(dodudo::net::IsIPv6Address("fe80::1%eth0"));
  EXPECT_FALSE(dodudo::net::IsIPv6Address("127.0.0.1"));
}

class LoopbackSocket : public testing::TestWithParam<const char*> {};

TEST_P(LoopbackSocket, MovesExactBytesBothWays) {
  Connection c(GetParam());
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
  // The exact read gathers a message that arrives in two pieces.
  auto writer = std::async(std::launch::async, [&] {
    snltest::WriteAll(c.peer.Get(), "hello ");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    snltest::WriteAll(c.peer.Get(), "world");
  });
  char text[11];
  EXPECT_EQ(c.client.Read(text, sizeof text), sizeof text);
  EXPECT_EQ(std::string(text, sizeof text), "hello world");
  // TCP_NODELAY only towards 127.0.0.1, whatever the field says; close-on-exec; async reads.
  c.client.SetNoDelayValue(0);
  c.client.SetNoDelay();
  int value = 0;
  socklen_t length = sizeof value;
  getsockopt(c.client.GetHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &length);
  EXPECT_EQ(value, host == "127.0.0.1" ? 1 : 0);
  EXPECT_NE(fcntl(c.client.GetHandle(), F_GETFD) & FD_CLOEXEC, 0);
  c.client.SetAsync();
  EXPECT_EQ(c.client.Read(text, 1), 0u);
}

INSTANTIATE_TEST_SUITE_P(V4AndV6, LoopbackSocket, testing::Values("127.0.0.1", "::1"));

TEST(ClientSocket, FailuresNameTheSocketTheCauseAndThePlace) {
  KClientSocket refused;
  const unsigned short port = snltest::LoopbackListener().Port();
  EXPECT_THAT(TextOf([&] { refused.Open("127.0.0.1", port); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Connection refused \\(errno=111\\) "
                           "\\(DOdudo/LB9/Basics/KClientSocket:[0-9]+\\)"));
  EXPECT_EQ(refused.GetHandle(), -1);
  KClientSocket bare;
  EXPECT_EQ(TextOf([&] { bare.Connect(); }),
            "Socket could not be connected because handle was not created");
  EXPECT_EQ(TextOf([&] { bare.SetNoDelay(); }),
            "It's not possible to set TCP_NODELAY because handle was not created");
  char byte = 0;
  EXPECT_THAT(TextOf([&] { bare.RawRead(&byte, 0); }),
              MatchesRegex("Socket error: Socket=FFFFFFFF - Bad file descriptor \\(errno=9\\) "
                           "\\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
  EXPECT_THAT(TextOf([&] { bare.SafeSelect(false, 0); }),
              MatchesRegex("Socket error: Invalid handle - Socket=FFFFFFFF - Bad file descriptor "
                           "\\(errno=9\\) \\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
  Connection c;
  c.client.Assign(c.peer.Release(), "peer");
  EXPECT_EQ(TextOf([&] { c.client.CreateSocket(); }),
            "Socket could not be created because it was already assigned");
  EXPECT_EQ(c.client.RawWrite(&byte, 0) + c.client.RawRead(&byte, 0), 0u);
}

TEST(ClientSocket, PeerCloseThenEveryReadFailsAtOnceAndResetIsAnError) {
  Connection c;
  snltest::WriteAll(c.peer.Get(), "ab");
  c.peer.Reset();
  char bytes[2];
  EXPECT_EQ(c.client.Read(bytes, 2), 2u);
  char fd[9];
  snprintf(fd, sizeof fd, "%08X", static_cast<unsigned int>(c.client.GetHandle()));
  EXPECT_THAT(TextOf<dodudo::KSocketClosedException>([&] { c.client.RawRead(bytes, 1); }),
              MatchesRegex(std::string("Socket finished, no more data to receive: Socket=") + fd +
                           " - \\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
  EXPECT_THAT(TextOf([&] {
                try {
                  c.client.RawRead(bytes, 1);
                } catch (const dodudo::KSocketClosedException&) {
                }
              }),
              MatchesRegex(std::string("Socket error: Socket=") + fd + " - .*"));

  Connection reset;
  linger hard{1, 0};
  setsockopt(reset.peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  reset.peer.Reset();
  EXPECT_THAT(TextOf([&] { reset.client.Read(bytes, 1); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Connection reset by peer "
                           "\\(errno=104\\) \\(DOdudo/LB9/Basics/KBaseSocket:[0-9]+\\)"));
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
    return TextOf([&] { c.client.RawRead(&byte, 1); });
  });
  auto writer = std::async(std::launch::async, [&] {
    std::string block(1 << 20, 'w');
    return TextOf([&] {
      for (;;) c.client.Write(block.data(), static_cast<unsigned int>(block.size()));
    });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  c.client.SignalFinalization();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_THAT(reader.get(), MatchesRegex("Socket error: Socket=FFFFFFFF - .*"));
  EXPECT_THAT(writer.get(), MatchesRegex("Socket error: Socket=[0-9A-F]{8} - .*"));
  EXPECT_NE(fcntl(number, F_GETFD), -1);
}

}  // namespace
