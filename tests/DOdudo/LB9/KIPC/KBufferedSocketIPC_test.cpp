// The buffered sender and channel on real sockets: the same bytes as the plain sender, records
// kept whole under concurrent senders, batching, prompt records, a full ring, a failing peer,
// and the last drain at Terminate.
#include "DOdudo/LB9/KIPC/KBufferedSocketIPC.h"

#include <fcntl.h>
#include <glob.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "DOdudo/host/KString.h"
#include "support/LoopbackPeer.h"
#include "support/TestIsolation.h"

using dodudo::KBufferedSocketOptions;
using dodudo::KBufferedSocketSender;
using dodudo::KSocketException;
using dodudo::kstring;
using snltest::Fd;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;

namespace {

using Clock = std::chrono::steady_clock;

// The sender's log file (module "dodudo" behind the executable's name).
std::string SenderLog() {
  glob_t found;
  std::string text;
  if (glob("/var/log/tolma/*dodudo.log", 0, nullptr, &found) == 0) {
    std::stringstream content;
    content << std::ifstream(found.gl_pathv[0]).rdbuf();
    text = content.str();
  }
  globfree(&found);
  return text;
}

// A client socket over one end of a socketpair of the given type; the test keeps the other end.
struct PairedSocket {
  explicit PairedSocket(int type = SOCK_STREAM) {
    int ends[2];
    socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends);
    socket.Assign(ends[0], "pair");
    peer = Fd(ends[1]);
  }
  // Fills the socket's send buffer (and the peer's receive buffer) so that the next write blocks.
  void Clog() {
    const int fd = socket.GetHandle();
    const int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string block(512, 'c');
    while (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) clogged += block.size();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  dodudo::KClientSocket socket;
  Fd peer;
  size_t clogged = 0;
};

// A string whose encoding is exactly `bytes` long (at least 5).
kstring Sized(size_t bytes, char fill = 's') { return kstring(bytes - 5, fill); }

KBufferedSocketOptions Options(uint32_t bufferSize, uint32_t flushSleep, uint32_t retryCount) {
  KBufferedSocketOptions options;
  options.BufferSize = bufferSize;
  options.FlushSleep = flushSleep;
  options.RetryCount = retryCount;
  return options;
}

TEST(BufferedSender, SameBytesAsThePlainSender) {
  std::vector<std::unique_ptr<dodudo::KSerializable>> objects;
  objects.emplace_back(new dodudo::KEmptyData());
  objects.emplace_back(new kstring("abc"));
  objects.emplace_back(new dodudo::KPlainData<bool>(true));
  auto holder = std::make_unique<dodudo::KBufferHolder>(300);
  for (unsigned int i = 0; i < 300; ++i) holder->Data()[i] = static_cast<unsigned char>(i);
  objects.emplace_back(std::move(holder));

  PairedSocket plain, buffered;
  dodudo::KSocketSender plainSender(&plain.socket);
  {
    KBufferedSocketSender sender(&buffered.socket, KBufferedSocketOptions());
    for (auto& object : objects) {
      EXPECT_TRUE(plainSender.Send(*object));
      EXPECT_TRUE(sender.Send(*object));
    }
  }
  const size_t total = 4 + 12 + 5 + 308;
  const std::string expected = snltest::ReadBytes(plain.peer.Get(), total);
  ASSERT_EQ(expected.size(), total);
  EXPECT_EQ(expected.substr(0, 16), std::string("\0\0\0\0\x08\0\0\0\x04\0\0\0abc\0", 16));
  EXPECT_EQ(snltest::ReadBytes(buffered.peer.Get(), total), expected);
}

// Four threads send through the channel at once: every record arrives whole, each thread's in
// order; the channel's receiving half reads what the peer sends back.
TEST(BufferedChannel, ConcurrentSendersAndReceiving) {
  snltest::LoopbackListener listener("::1");
  dodudo::KBufferedSocketIpcChannel channel("::1", listener.Port(), Options(2000, 1, 0));
  Fd peer = listener.Accept();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        ASSERT_TRUE(
            channel.Send(dodudo::fstring("%d:%d:%s", t, i, std::string(t * 40, 'q').c_str())));
    });
  }
  dodudo::KClientSocket reader;
  reader.Assign(peer.Release(), "peer");
  dodudo::KSocketReceiver receiver(&reader);
  int next[kThreads] = {};
  for (int n = 0; n < kThreads * kEach; ++n) {
    kstring text;
    ASSERT_TRUE(receiver.Receive(text));
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(text.c_str(), "%d:%d:", &t, &i), 2) << text;
    ASSERT_EQ(i, next[t]++);
  }
  for (auto& s : senders) s.join();

  dodudo::KSocketSender back(&reader);
  back.Send(kstring("reply"));
  kstring reply;
  ASSERT_TRUE(channel.Receive(reply));
  EXPECT_EQ(reply, "reply");
}

// Records gathered during the batching wait leave in writes of at most FlushLimit bytes; a
// prompt record does not wait for the batching time.
TEST(BufferedSender, BatchesUpToTheFlushLimitAndFlushesPromptRecordsAtOnce) {
  PairedSocket pair(SOCK_SEQPACKET);
  {
    KBufferedSocketSender sender(&pair.socket, Options(9000, 400, 10));
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(sender.Send(Sized(96)));
    std::vector<size_t> writes;
    char packet[9000];
    while (writes.size() < 3) {
      const ssize_t got = recv(pair.peer.Get(), packet, sizeof packet, 0);
      ASSERT_GT(got, 0);
      writes.push_back(static_cast<size_t>(got));
    }
    EXPECT_EQ(writes, (std::vector<size_t>{1500, 1500, 1000}));

    kstring prompt("now");
    prompt.SetSendPromptly(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto sent = Clock::now();
    ASSERT_TRUE(sender.Send(prompt));
    EXPECT_EQ(snltest::ReadBytes(pair.peer.Get(), 12),
              std::string("\x08\0\0\0\x04\0\0\0now\0", 12));
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(350));
  }
}

// A peer that stops reading: the ring fills, senders go through the retries with their
// warnings and end with "internal socket buffer full"; nothing is ever written in part.
TEST(BufferedSender, FullRingRetriesWarnsAndGivesUpWithoutPartialRecords) {
  SNL_REQUIRE_ISOLATION();
  PairedSocket pair;
  pair.Clog();
  {
    KBufferedSocketSender sender(&pair.socket, Options(100, 5, 3));
    ASSERT_TRUE(sender.Send(Sized(36)));  // 40 bytes: taken by the flush thread, stuck in send
    ASSERT_TRUE(sender.Send(Sized(36)));
    std::string text;
    try {
      sender.Send(Sized(36));
    } catch (const KSocketException& e) {
      text = e.what();
    }
    char self[32];
    snprintf(self, sizeof self, "%p", static_cast<void*>(&sender));
    char expected[160];
    snprintf(expected, sizeof expected,
             "Socket error: Socket=%08X - internal socket buffer full %s "
             "(DOdudo/LB9/KIPC/KBufferedSocketIPC:149)",
             static_cast<unsigned int>(pair.socket.GetHandle()), self);
    EXPECT_EQ(text, expected);
    const std::string log = SenderLog();
    EXPECT_THAT(log, HasSubstr("| Unable to send 40 bytes: buffer full (used 80 , free 20 ) "
                               "(will try 2 more time(s)...)\n"));
    EXPECT_THAT(log, HasSubstr("| Unable to send 40 bytes: buffer full (used 80 , free 20 ) "
                               "(will try 1 more time(s)...)\n"));
    EXPECT_THAT(log, HasSubstr(std::string("| Send failed: ") + self +
                               " internal socket buffer full " + self + "\n"));
    EXPECT_THAT(log, Not(HasSubstr("will try 0 more")));

    // A record larger than the ring fails at once.
    EXPECT_THROW(sender.Send(Sized(200)), KSocketException);

    // Once the peer reads, the two accepted records follow the clog, whole.
    const std::string all = snltest::ReadBytes(pair.peer.Get(), pair.clogged + 80);
    ASSERT_EQ(all.size(), pair.clogged + 80);
    EXPECT_EQ(all.substr(pair.clogged),
              std::string("\x24\0\0\0\x20\0\0\0", 8) + std::string(31, 's') + '\0' +
                  std::string("\x24\0\0\0\x20\0\0\0", 8) + std::string(31, 's') + '\0');
  }
  EXPECT_EQ(snltest::ReadToEnd(pair.peer.Get(), 200), "");
}

// With RetryCount 0 a record waits until it fits, however long the peer takes.
TEST(BufferedSender, RetryCountZeroWaitsUntilTheRecordFits) {
  PairedSocket pair;
  pair.Clog();
  KBufferedSocketSender sender(&pair.socket, Options(100, 5, 0));
  ASSERT_TRUE(sender.Send(Sized(60)));
  ASSERT_TRUE(sender.Send(Sized(30)));
  auto reader = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return snltest::ReadBytes(pair.peer.Get(), pair.clogged + 60 + 30 + 60);
  });
  ASSERT_TRUE(sender.Send(Sized(60)));
  EXPECT_EQ(reader.get().size(), pair.clogged + 150);
}

// The peer goes away: the flush thread stops with its warning and Send returns false.
TEST(BufferedSender, FailedSocketMakesSendReturnFalse) {
  SNL_REQUIRE_ISOLATION();
  snltest::LoopbackListener listener;
  dodudo::KClientSocket socket;
  socket.Open("127.0.0.1", listener.Port());
  Fd peer = listener.Accept();
  KBufferedSocketSender sender(&socket, Options(9000, 0, 10));
  linger hard{1, 0};
  setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  peer.Reset();
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  bool refused = false;
  while (!refused && Clock::now() < deadline) {
    refused = !sender.Send(kstring("after reset"));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(refused);
  EXPECT_FALSE(sender.IsUsable());
  EXPECT_THAT(sender.GetErrorText(), HasSubstr("Connection reset by peer"));
  char self[32];
  snprintf(self, sizeof self, "%p", static_cast<void*>(&sender));
  EXPECT_THAT(SenderLog(),
              HasSubstr(std::string("| Flush thread failed: ") + self + " Socket error: Socket="));
}

// Terminate drains what is in the ring; with a peer that never reads, it still returns.
TEST(BufferedChannel, TerminateDrainsAndNeverHangs) {
  snltest::LoopbackListener listener;
  std::string expected;
  {
    dodudo::KBufferedSocketIpcChannel channel("127.0.0.1", listener.Port(),
                                              Options(100000, 1000, 10));
    Fd peer = listener.Accept();
    for (int i = 0; i < 1000; ++i) {
      kstring text = dodudo::fstring("record %d", i);
      channel.Send(text);
      expected += std::string(1, static_cast<char>(text.size() + 5)) + std::string("\0\0\0", 3) +
                  std::string(1, static_cast<char>(text.size() + 1)) + std::string("\0\0\0", 3) +
                  text + '\0';
    }
    channel.Terminate();
    EXPECT_FALSE(channel.Send(kstring("late")));
    EXPECT_EQ(snltest::ReadToEnd(peer.Get()), expected);
  }

  PairedSocket stuck;
  stuck.Clog();
  const auto start = Clock::now();
  {
    dodudo::KBufferedSocketIpcChannel channel(&stuck.socket, Options(9000, 1, 10));
    channel.Send(Sized(1000));
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(stuck.socket.GetHandle(), -1);
}

TEST(BufferedChannel, RefusedConnectionLeavesNothingBehind) {
  unsigned short port;
  {
    snltest::LoopbackListener gone;
    port = gone.Port();
  }
  EXPECT_THROW(dodudo::KBufferedSocketIpcChannel("127.0.0.1", port, KBufferedSocketOptions()),
               KSocketException);
}

}  // namespace
