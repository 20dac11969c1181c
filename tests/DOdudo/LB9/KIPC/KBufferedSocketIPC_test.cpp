// The buffered sender and channel on real sockets: the same bytes as the plain sender, records
// kept whole under concurrent senders, batching, prompt records, a full ring, a failing peer,
// and the last drain at Terminate.
#include "DOdudo/LB9/KIPC/KBufferedSocketIPC.h"

#include <fcntl.h>
#include <sys/wait.h>

#include <functional>
#include <mutex>
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LogTestSupport.h"
#include "IpcTestSupport.h"
#include "support/LoopbackPeer.h"
#include "support/TestIsolation.h"

using dodudo::KBufferedSocketSender;
using dodudo::kstring;
using ipctest::Frame;
using ipctest::Str;
using testing::HasSubstr;

namespace {

using Clock = std::chrono::steady_clock;

// The sender's log file (module "dodudo" behind the executable's name).
std::string SenderLog() {
  return logtest::ReadFile("/var/log/tolma/" + logtest::ExeName() + ".dodudo.log");
}

std::string Pointer(const void* object) {
  char text[32];
  snprintf(text, sizeof text, "%p", object);
  return text;
}

// A client socket over one end of a socketpair; the test keeps the other end.
struct PairedSocket {
  explicit PairedSocket(int type = SOCK_STREAM) {
    int ends[2];
    socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends);
    socket.Assign(ends[0], "pair");
    peer.Reset(ends[1]);
  }
  // Fills the socket's buffers so that the next write blocks until the peer reads.
  void Clog() {
    const int fd = socket.GetHandle(), size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string block(512, 'c');
    while (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) clogged += block.size();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  dodudo::KClientSocket socket;
  snltest::Fd peer;
  size_t clogged = 0;
};

// A string whose encoding is exactly `bytes` long.
kstring Sized(size_t bytes) { return kstring(bytes - 5, 's'); }

dodudo::KBufferedSocketOptions Options(uint32_t bufferSize, uint32_t flushSleep, uint32_t retries) {
  return {dodudo::DEFAULT_FLUSH_LIMIT, flushSleep, bufferSize, retries};
}

TEST(BufferedSender, SameBytesAsThePlainSender) {
  dodudo::KBufferHolder holder(300);
  for (unsigned int i = 0; i < 300; ++i) holder.Data()[i] = static_cast<unsigned char>(i);
  dodudo::KEmptyData empty;
  kstring text("abc");
  const dodudo::KSerializable* objects[] = {&empty, &text, &holder, &text};
  PairedSocket plain, buffered;
  dodudo::KSocketSender plainSender(&plain.socket);
  {
    KBufferedSocketSender sender(&buffered.socket, dodudo::KBufferedSocketOptions());
    for (auto* object : objects) EXPECT_TRUE(plainSender.Send(*object) && sender.Send(*object));
  }
  const std::string expected = snltest::ReadBytes(plain.peer.Get(), 4 + 12 + 308 + 12);
  EXPECT_EQ(expected.substr(0, 16), std::string("\0\0\0\0\x08\0\0\0\x04\0\0\0abc\0", 16));
  EXPECT_EQ(snltest::ReadBytes(buffered.peer.Get(), expected.size()), expected);
}

// Four threads send through the channel at once: every record arrives whole, each thread's in
// order; the channel's receiving half reads what the peer sends back.
TEST(BufferedChannel, ConcurrentSendersAndReceiving) {
  snltest::LoopbackListener listener("::1");
  dodudo::KBufferedSocketIpcChannel channel("::1", listener.Port(), Options(2000, 1, 0));
  dodudo::KClientSocket reader;
  reader.Assign(listener.Accept(), "peer");
  dodudo::KSocketReceiver receiver(&reader);
  ipctest::ExpectWholeRecordsInOrder(channel, receiver, 500);
  dodudo::KSocketSender(&reader).Send(kstring("reply"));
  kstring reply;
  ASSERT_TRUE(channel.Receive(reply));
  EXPECT_EQ(reply, "reply");
}

// Records gathered during the batching wait leave in writes of at most FlushLimit bytes (seen
// as packets); a prompt record does not wait for the batching time.
TEST(BufferedSender, BatchesUpToTheFlushLimitAndFlushesPromptRecordsAtOnce) {
  PairedSocket pair(SOCK_SEQPACKET);
  KBufferedSocketSender sender(&pair.socket, Options(9000, 1000, 10));
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(sender.Send(Sized(96)));
  std::vector<ssize_t> writes;
  char packet[9000];
  while (writes.size() < 3) writes.push_back(recv(pair.peer.Get(), packet, sizeof packet, 0));
  EXPECT_EQ(writes, (std::vector<ssize_t>{1500, 1500, 1000}));

  kstring prompt("now");
  prompt.SetSendPromptly(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto sent = Clock::now();
  ASSERT_TRUE(sender.Send(prompt));
  EXPECT_EQ(snltest::ReadBytes(pair.peer.Get(), 12), Frame(Str("now")));
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(800));
}

// A prompt record that finds the ring empty goes to the socket from its sender. What the socket
// does not take at once follows through the ring, whole and ahead of every later record; mixed
// with queued records from other threads, nothing is split or reordered.
TEST(BufferedSender, PromptRecordsWrittenByTheirSenderStayWholeAndInOrder) {
  {
    ipctest::Connection c;
    const int small = 16384;
    setsockopt(c.client.GetHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    KBufferedSocketSender sender(&c.client, Options(4 << 20, 1000, 10));
    kstring big(std::string(3000000, 'B'));  // far more than the socket takes at once
    big.SetSendPromptly(true);
    kstring after("after"), last("last");
    last.SetSendPromptly(true);
    ASSERT_TRUE(sender.Send(big) && sender.Send(after) && sender.Send(last));
    const std::string expected = Frame(Str(big)) + Frame(Str("after")) + Frame(Str("last"));
    EXPECT_TRUE(snltest::ReadBytes(c.peer.Get(), expected.size(), 5000) == expected);
  }
  snltest::LoopbackListener listener;
  dodudo::KBufferedSocketIpcChannel channel("127.0.0.1", listener.Port(), Options(2000, 1, 0));
  dodudo::KClientSocket reader;
  reader.Assign(listener.Accept(), "peer");
  dodudo::KSocketReceiver receiver(&reader);
  ipctest::ExpectWholeRecordsInOrder(channel, receiver, 2000, 3);
}

// Written by its sender, a prompt record is on the wire when Send returns; still no write is
// larger than FlushLimit, which a packet socket keeps as packet sizes.
TEST(BufferedSender, PromptRecordsLeaveBeforeSendReturnsInWritesOfAtMostTheFlushLimit) {
  PairedSocket pair(SOCK_SEQPACKET);
  KBufferedSocketSender sender(&pair.socket, Options(9000, 1000, 10));
  kstring prompt("now");
  prompt.SetSendPromptly(true);
  char packet[9000];
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(sender.Send(prompt));
    ASSERT_EQ(recv(pair.peer.Get(), packet, sizeof packet, MSG_DONTWAIT), 12) << "record " << i;
  }
  kstring big(std::string(3995, 'b'));  // 4,004 bytes framed
  big.SetSendPromptly(true);
  ASSERT_TRUE(sender.Send(big));
  const timeval limit{5, 0};
  setsockopt(pair.peer.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::vector<ssize_t> writes;
  while (writes.size() < 3) writes.push_back(recv(pair.peer.Get(), packet, sizeof packet, 0));
  EXPECT_EQ(writes, (std::vector<ssize_t>{1500, 1500, 1004}));
}

// A forked child shares the socket but not the parent's flush thread: its Send refuses at once
// (the flush thread may hold a lock at the fork, which the child must not wait for) and nothing
// of it goes into the middle of the parent's stream.
TEST(BufferedSender, AForkedChildNeverWritesIntoTheParentsStream) {
  PairedSocket pair;
  std::string expected;
  {
    KBufferedSocketSender sender(&pair.socket, Options(1 << 20, 1, 10));
    kstring record("child");  // made before the fork: the child allocates nothing
    const pid_t child = fork();
    if (child == 0) {
      int accepted = 0;
      for (int i = 0; i < 50; ++i) {
        record.SetSendPromptly(i % 2 == 0);
        accepted += sender.Send(record) ? 1 : 0;
      }
      _exit(accepted);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "records accepted in the child";
    for (const char* text : {"one", "two", "three"}) {
      kstring record(text);
      record.SetSendPromptly(true);
      ASSERT_TRUE(sender.Send(record));
      expected += Frame(Str(text));
    }
  }
  pair.socket.SignalFinalization();
  EXPECT_EQ(snltest::ReadBytes(pair.peer.Get()), expected);
}

// Records gather for the batching time only while less than half the ring waits: the record
// that fills half of it starts the drain, so producers never meet a full ring that a flush
// thread sleeping through its gathering could have emptied.
TEST(BufferedSender, HalfAFullRingCutsTheGatheringShort) {
  PairedSocket pair;
  KBufferedSocketSender sender(&pair.socket, Options(9000, 5000, 10));
  for (int i = 0; i < 44; ++i) ASSERT_TRUE(sender.Send(Sized(96)));  // 4,400 bytes framed
  pollfd waiting{pair.peer.Get(), POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 300), 0) << "records left before half the ring was used";
  const auto sent = Clock::now();
  ASSERT_TRUE(sender.Send(Sized(96)));  // 4,500 bytes: half
  EXPECT_EQ(snltest::ReadBytes(pair.peer.Get(), 45 * 100, 2000).size(), 45u * 100);
  EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(1500));
}

// A peer that stops reading: the ring fills, a sender goes through the retries with their
// warnings and ends with "internal socket buffer full"; nothing is ever written in part.
TEST(BufferedSender, FullRingRetriesWarnsAndGivesUpWithoutPartialRecords) {
  SNL_REQUIRE_ISOLATION();
  PairedSocket pair;
  pair.Clog();
  auto sender = std::make_unique<KBufferedSocketSender>(&pair.socket, Options(100, 5, 3));
  const std::string self = Pointer(sender.get());
  ASSERT_TRUE(sender->Send(Sized(36)));  // 40 bytes, taken by the flush thread, stuck in send
  ASSERT_TRUE(sender->Send(Sized(36)));
  char expected[160];
  snprintf(expected, sizeof expected,
           "Socket error: Socket=%08X - internal socket buffer full %s "
           "(DOdudo/LB9/KIPC/KBufferedSocketIPC:149)",
           static_cast<unsigned int>(pair.socket.GetHandle()), self.c_str());
  EXPECT_EQ(snltest::TextOf([&] { sender->Send(Sized(36)); }), expected);
  const std::string log = SenderLog();
  for (const char* left : {"2", "1"}) {
    EXPECT_THAT(log, HasSubstr(std::string("| Unable to send 40 bytes: buffer full (used 80 , free "
                                           "20 ) (will try ") +
                               left + " more time(s)...)\n"));
  }
  EXPECT_THAT(log, HasSubstr("| Send failed: " + self + " internal socket buffer full " + self));
  EXPECT_THAT(log, testing::Not(HasSubstr("will try 0 more")));
  EXPECT_THROW(sender->Send(Sized(200)), dodudo::KSocketException);  // never fits: at once
  // The peer reads again: the two accepted records follow the clog, whole, by the last drain.
  auto drained = std::async(std::launch::async, [&] {
    return snltest::ReadBytes(pair.peer.Get(), pair.clogged + 80).substr(pair.clogged);
  });
  sender.reset();
  const std::string record = Frame(Str(std::string(31, 's')));
  EXPECT_EQ(drained.get(), record + record);
}

// A producer that keeps meeting a full ring writes at most ten warnings a second, not one per
// retry; the next line says how many were held back.
TEST(BufferedSender, FullRingWarningsAreLimitedAndCounted) {
  SNL_REQUIRE_ISOLATION();
  auto lines = [] {
    const std::string log = SenderLog();
    size_t count = 0;
    for (size_t at = log.find("buffer full (used"); at != std::string::npos;
         at = log.find("buffer full (used", at + 1))
      ++count;
    return count;
  };
  const size_t before = lines();
  PairedSocket pair;
  pair.Clog();
  auto sender = std::make_unique<KBufferedSocketSender>(&pair.socket, Options(100, 1, 41));
  ASSERT_TRUE(sender->Send(Sized(36)));  // taken by the flush thread, stuck in send
  ASSERT_TRUE(sender->Send(Sized(36)));
  EXPECT_THROW(sender->Send(Sized(36)), dodudo::KSocketException);  // 40 retries, ~40 ms
  EXPECT_EQ(lines() - before, 10u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_THROW(sender->Send(Sized(36)), dodudo::KSocketException);
  EXPECT_THAT(SenderLog(), HasSubstr("(will try 40 more time(s)...) (30 more since the last such "
                                     "line)\n"));
  // The peer reads again, so that the last drain can end.
  auto drained = std::async(std::launch::async,
                            [&] { return snltest::ReadBytes(pair.peer.Get(), pair.clogged + 80); });
  sender.reset();
  drained.get();
}

// A third thread terminates the sender while another sends: every Send that returned true
// reaches the peer; none is left behind in the ring after the last drain.
TEST(BufferedSender, TerminateRacingASenderLosesNoAcceptedRecord) {
  for (int round = 0; round < 20; ++round) {
    PairedSocket pair;
    auto received =
        std::async(std::launch::async, [&] { return snltest::ReadBytes(pair.peer.Get()).size(); });
    std::atomic<size_t> accepted{0};
    {
      KBufferedSocketSender sender(&pair.socket, Options(200, 1, 0));
      std::thread sending([&] {
        while (sender.Send(kstring("r"))) ++accepted;
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(2 + round % 5));
      std::thread([&] { sender.Terminate(); }).join();
      sending.join();
    }
    pair.socket.SignalFinalization();
    ASSERT_EQ(received.get(), accepted * 10) << "round " << round;  // 10 bytes a frame
  }
}

// Bursts that overrun the default ring: the last records of each burst leave without waiting
// for another Send.
TEST(BufferedSender, BurstsLeaveWholeWithoutALaterSend) {
  ipctest::Connection c;
  KBufferedSocketSender sender(&c.client, dodudo::KBufferedSocketOptions());
  const kstring text(std::string(59, 'b'));
  const size_t burstBytes = 10000 * Frame(Str(text)).size();
  for (int burst = 0; burst < 5; ++burst) {
    auto reading = std::async(std::launch::async,
                              [&] { return snltest::ReadBytes(c.peer.Get(), burstBytes, 3000); });
    std::thread([&] {
      for (int i = 0; i < 10000; ++i) ASSERT_TRUE(sender.Send(text));
    }).join();
    ASSERT_EQ(reading.get().size(), burstBytes) << "burst " << burst;
  }
}

// The peer resets the connection: the flush thread stops with its warning and Send returns false.
TEST(BufferedSender, FailedSocketMakesSendReturnFalse) {
  SNL_REQUIRE_ISOLATION();
  ipctest::Connection c;
  KBufferedSocketSender sender(&c.client, Options(9000, 0, 10));
  linger hard{1, 0};
  setsockopt(c.peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  c.peer.Reset();
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (sender.Send(kstring("after reset")) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(sender.IsUsable());
  EXPECT_THAT(sender.GetErrorText(), HasSubstr("Connection reset by peer"));
  EXPECT_THAT(SenderLog(),
              HasSubstr("| Flush thread failed: " + Pointer(&sender) + " Socket error: Socket="));

  // A prompt record that its sender writes meets the reset itself: the same cause is reported.
  ipctest::Connection d;
  KBufferedSocketSender direct(&d.client, Options(9000, 9, 10));
  setsockopt(d.peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  d.peer.Reset();
  kstring prompt("after reset");
  prompt.SetSendPromptly(true);
  while (direct.Send(prompt) && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(direct.IsUsable());
  EXPECT_THAT(direct.GetErrorText(), HasSubstr("Connection reset by peer"));
  EXPECT_THAT(SenderLog(),
              HasSubstr("| Flush thread failed: " + Pointer(&direct) + " Socket error: Socket="));
}

// Terminate drains what is in the ring; with a peer that never reads, it still returns.
TEST(BufferedChannel, TerminateDrainsAndNeverHangs) {
  snltest::LoopbackListener listener;
  std::string expected;
  {
    dodudo::KBufferedSocketIpcChannel channel("127.0.0.1", listener.Port(),
                                              Options(100000, 1000, 10));
    snltest::Fd peer(listener.Accept());
    for (int i = 0; i < 1000; ++i) {
      const kstring text = dodudo::fstring("record %d", i);
      channel.Send(text);
      expected += Frame(Str(text));
    }
    channel.Terminate();
    EXPECT_FALSE(channel.Send(kstring("late")));
    EXPECT_EQ(snltest::ReadBytes(peer.Get()), expected);
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

}  // namespace

namespace {
// Writes one byte, after running hook (which may wait or take a lock).
class Hooked : public dodudo::KSerializable {
 public:
  explicit Hooked(std::function<void()> hook) : hook_(std::move(hook)) {}
  void Serialize(dodudo::KSerializer& serializer) override {
    hook_();
    unsigned char byte = 'h';
    serializer.Write(&byte, 1);
  }

 private:
  std::function<void()> hook_;
};
}  // namespace

// An object is framed outside the send mutex: one slow to serialise holds up no other sender,
// and one whose serialisation waits for a lock held by a thread that is itself sending does not
// deadlock.
TEST(BufferedSender, SerialisingOutsideTheSendMutex) {
  PairedSocket paired;
  KBufferedSocketSender sender(&paired.socket, dodudo::KBufferedSocketOptions());
  Hooked slow([] { std::this_thread::sleep_for(std::chrono::milliseconds(400)); });
  auto slowSend = std::async(std::launch::async, [&] { return sender.Send(slow); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto start = Clock::now();
  EXPECT_TRUE(sender.Send(kstring("quick")));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_TRUE(slowSend.get());

  std::mutex lock;
  std::unique_lock<std::mutex> held(lock);
  Hooked locking([&] { std::lock_guard<std::mutex> wait(lock); });
  auto lockingSend = std::async(std::launch::async, [&] { return sender.Send(locking); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto holderSend = std::async(std::launch::async, [&] { return sender.Send(kstring("holder")); });
  ASSERT_EQ(holderSend.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_TRUE(holderSend.get());
  held.unlock();
  EXPECT_TRUE(lockingSend.get());
}
