// The comm client under real faults, against commsim and scripted servers that are separate
// processes: shutdown during the first hello, commands during a handshake, handshakes cut short,
// a server that stops reading, event delivery (re-armed, deleted from its callback, bounded),
// notices during an outage, and many connect/disconnect cycles.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <memory>

#include "CommTestSupport.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommClient.h"
#include "support/TestIsolation.h"
#include "tools/commsim/Server.h"

using comm::KCommClient;
using comm::KEnvelope;
using commsim::SIM_MODULE;
using commtest::CommSim;
using commtest::Count;
using commtest::ScriptedPeer;
using commtest::WaitFor;
using dodudo::kstring;
using commtest::Clock;
using commtest::Connect;
using commtest::Echo;
using commtest::SecondsSince;

namespace {
int Push(KCommClient& client, int32_t count) {
  return client.SendCommand(SIM_MODULE, commsim::SIM_PUSH, count, 0, dodudo::KEmptyData());
}
template <typename T>
bool ReadyWithin(std::future<T>& future, int seconds) {
  return future.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}
// Holds a connection until the client closes it.
void HoldUntilClosed(int fd) { snltest::ReadBytes(fd, std::string::npos, 120000); }

std::atomic<int> pushed{0}, reconnected{0}, connFails{0};
void Tally(KCommClient*, KEnvelope& event, unsigned int) {
  if (event.GetModule() == SIM_MODULE && event.GetCode() == commsim::SIM_EVENT) ++pushed;
  if (event.GetModule() == comm::COMM_MODULE && event.GetCode() == comm::COMM_RECONNECTED)
    ++reconnected;
  if (event.GetModule() == comm::COMM_MODULE && event.GetCode() == comm::COMM_CONN_FAIL)
    ++connFails;
}

class KCommFaults : public snltest::IsolatedTest {
 protected:
  KLogger keepLogging{klogZ7MClient, -1, "TEST", "commtest", 0, false};
};

}  // namespace

// Shutdown (or NotifyAppTermination) while the first Connect waits for the hello: the handshake
// ends at once and the connection is freed only after it has left (ASan and TSan see to the
// rest).
TEST_F(KCommFaults, ShutdownDuringTheFirstHelloFreesNothingInUse) {
  CommSim server({"--silent"});
  for (int round = 0; round < 6; ++round) {
    auto client = std::make_unique<KCommClient>();
    auto connecting = std::async(std::launch::async, [&] { Connect(*client, 20000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(40 * round));
    auto start = Clock::now();
    if (round % 2 == 0)
      client->Shutdown();
    else
      KCommClient::NotifyAppTermination();
    ASSERT_TRUE(ReadyWithin(connecting, 5)) << round;
    EXPECT_NO_THROW(connecting.get()) << round;
    EXPECT_LT(SecondsSince(start), 3.0) << round;
  }
}

// A command sent while the handshake runs gets 13 at once and never precedes the identity
// message: the server sees REMOTE_ID first.
TEST_F(KCommFaults, CommandsDuringTheHandshakeGetThirteenAtOnce) {
  ScriptedPeer peer([](int fd, int, int report) {
    snltest::WriteAll(fd, commtest::HelloFrame());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ScriptedPeer::Report(report, std::to_string(commtest::CodeOf(commtest::ReadFrame(fd))));
    snltest::WriteAll(fd, commtest::Frame(KEnvelope(comm::COMM_MODULE, comm::COMM_REMOTE_ID, -1,
                                                    -1, kstring("app-0[0]"))));
    HoldUntilClosed(fd);
  });
  KCommClient client;
  auto connecting = std::async(std::launch::async, [&] { Connect(client, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto command = std::async(std::launch::async, [&] { return Echo(client, 1); });
  ASSERT_TRUE(ReadyWithin(command, 1));
  EXPECT_EQ(command.get(), 13);
  EXPECT_EQ(peer.NextReport(), std::to_string(comm::COMM_REMOTE_ID));
  ASSERT_TRUE(ReadyWithin(connecting, 10));
  EXPECT_NO_THROW(connecting.get());
}

// Two threads sending back to back while the server drops every connection: every reconnection
// is accepted, because no command goes out before the identity.
TEST_F(KCommFaults, SendersDuringReconnectionsNeverSpoilTheHandshake) {
  CommSim server({"--drop-after", "40"});
  KCommClient client;
  Connect(client);
  client.SetEventCallback(Tally);
  std::atomic<bool> stop{false};
  auto sender = [&] {
    while (!stop) Echo(client, 1);
  };
  std::thread first(sender), second(sender);
  bool enough = WaitFor([] { return reconnected >= 4; }, 20000);
  stop = true;
  first.join();
  second.join();
  EXPECT_TRUE(enough) << reconnected;
  EXPECT_EQ(Count("commclient", "handshake failed"), 0);
  EXPECT_EQ(Count("commclient", "Expected message (remote_id) not received"), 0);
  EXPECT_EQ(Count("commclient", "Failed to connect to server"), 0);
}

// A hello cut short: Connect gives up within its own time limit, and a reconnection meeting one
// gives up within the handshake limit and tries again, so the client comes back.
TEST_F(KCommFaults, HandshakeCutShortIsBoundedByOneDeadline) {
  {
    ScriptedPeer peer([](int fd, int, int) {
      snltest::WriteAll(fd, commtest::HelloFrame().substr(0, 10));
      HoldUntilClosed(fd);
    });
    KCommClient client("cut");
    auto start = Clock::now();
    auto connecting = std::async(std::launch::async, [&] {
      return snltest::TextOf<comm::KCommHandshakeError>([&] { Connect(client, 2000); });
    });
    ASSERT_TRUE(ReadyWithin(connecting, 6));
    EXPECT_EQ(connecting.get(),
              "Expected message (hello) not received, aborting connection to Server [1513573715]");
    EXPECT_LT(SecondsSince(start), 4.0);
  }

  auto server = std::make_unique<CommSim>(std::vector<std::string>{});
  KCommClient client;
  Connect(client);
  client.SetEventCallback(Tally);
  server->Kill();
  ScriptedPeer peer([](int fd, int n, int) {
    if (n == 0)
      snltest::WriteAll(fd, commtest::HelloFrame().substr(0, 10));
    else
      commtest::ServeHandshake(fd);
    HoldUntilClosed(fd);
  });
  EXPECT_TRUE(WaitFor([] { return reconnected == 1; }, 40000));
  EXPECT_EQ(connFails, 1);
}

// A server that stops reading: the writes that fill its window end within the write limit, the
// connection with them, and a command gets its 13 well within the 30 s a reply may take.
TEST_F(KCommFaults, PeerThatStopsReadingEndsTheConnectionNotTheCaller) {
  ScriptedPeer peer([](int fd, int n, int) {
    if (n == 0 && commtest::ServeHandshake(fd))
      std::this_thread::sleep_for(std::chrono::seconds(120));
    else
      HoldUntilClosed(fd);
  });
  KCommClient client;
  Connect(client);
  client.SetEventCallback(Tally);
  auto flooding = std::async(std::launch::async, [&] {
    KEnvelope big(SIM_MODULE, commsim::SIM_ECHO, 0, 0, kstring(8000, 'x'));
    try {
      while (client.GetChannel().Send(big)) {
      }
    } catch (const std::exception&) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto start = Clock::now();
  EXPECT_EQ(Echo(client, 1), 13);
  EXPECT_LT(SecondsSince(start), 31.0);
  ASSERT_TRUE(ReadyWithin(flooding, 15));
  EXPECT_TRUE(WaitFor([] { return connFails == 1; }, 5000));
}

// Delivery stops with a null callback (the events wait for GetNextAsyncMessage) and resumes with
// the next one.
TEST_F(KCommFaults, EventCallbackCanBeSetAgainAfterNull) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  client.RequestEvents(Tally, true);
  ASSERT_EQ(Push(client, 3), 0);
  ASSERT_TRUE(WaitFor([] { return pushed == 3; }, 5000));
  client.SetEventCallback(nullptr);
  ASSERT_EQ(Push(client, 2), 0);
  unsigned int count = 0;
  for (int n = 0; n < 2; ++n) {
    KEnvelope event;
    ASSERT_TRUE(client.GetNextAsyncMessage(event, count, 5000));
    EXPECT_EQ(event.GetCode(), commsim::SIM_EVENT);
  }
  client.SetEventCallback(Tally);
  ASSERT_EQ(Push(client, 4), 0);
  EXPECT_TRUE(WaitFor([] { return pushed == 7; }, 5000)) << pushed;
}

std::atomic<KCommClient*> doomed{nullptr};
std::atomic<bool> deletedInCallback{false};
void DeleteSelf(KCommClient* client, KEnvelope&, unsigned int) {
  KCommClient* expected = client;
  if (doomed.compare_exchange_strong(expected, nullptr)) {
    delete client;
    deletedInCallback = true;
  }
}

// A callback may delete its own client: the destructor returns promptly and the event thread
// leaves without touching the client again.
TEST_F(KCommFaults, CallbackMayDeleteItsClient) {
  CommSim server({"--tick", "20"});
  auto* client = new KCommClient("doomed");
  Connect(*client);
  client->RequestEvents(DeleteSelf, true);
  doomed = client;
  EXPECT_TRUE(WaitFor([] { return deletedInCallback.load(); }, 5000));
  EXPECT_TRUE(WaitFor([] { return Count("doomed", "N Msg thread signaling termination") == 1; },
                      5000));
}

std::atomic<bool> releaseSlow{false};
void Slow(KCommClient*, KEnvelope&, unsigned int) {
  while (!releaseSlow) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// Behind a callback that does not keep up, at most kMaxQueuedEvents wait: the newest server
// events are dropped, counted, and logged once a second.
TEST_F(KCommFaults, EventQueueIsBounded) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  client.RequestEvents(Slow, true);
  const int sent = static_cast<int>(KCommClient::kMaxQueuedEvents) + 2000;
  auto start = Clock::now();
  ASSERT_EQ(Push(client, sent), 0);
  EXPECT_TRUE(WaitFor([&] { return client.GetDroppedEventCount() >= 1999; }, 10000))
      << client.GetDroppedEventCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(client.GetDroppedEventCount(), 2000u);
  const int lines = Count("commclient", "W Event queue full (4096 events): event ENV(");
  EXPECT_GE(lines, 1);
  EXPECT_LE(lines, static_cast<int>(SecondsSince(start)) + 1);
  releaseSlow = true;
}

// Commands hammered during an outage: the refusals are logged about once a second, each line
// with the count of those held back since the one before.
TEST_F(KCommFaults, OutageNoticesAreRateLimited) {
  auto server = std::make_unique<CommSim>(std::vector<std::string>{});
  KCommClient client;
  Connect(client);
  client.SetEventCallback(Tally);
  server->Kill();
  ASSERT_TRUE(WaitFor([] { return connFails == 1; }, 5000));
  int refused = 0;
  auto start = Clock::now();
  while (SecondsSince(start) < 2.0) refused += Echo(client, 1) == 13;
  EXPECT_GT(refused, 100);
  const int lines = Count("commclient", "not sent") + Count("commclient", "sending command");
  // Two kinds of line (refused by the channel, failed in the client), each once a second.
  EXPECT_LE(lines, 2 * (static_cast<int>(SecondsSince(start)) + 1)) << lines;
}

namespace {
int Entries(const char* directory) {
  int count = 0;
  if (DIR* dir = opendir(directory)) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}
}  // namespace

// 1,000 clients connected, used and destroyed one after the other: descriptors, threads and
// memory stay where they were.
TEST_F(KCommFaults, ThousandConnectDisconnectCyclesLeaveNothingBehind) {
  CommSim server({"--quiet"});
  auto cycle = [] {
    KCommClient client("cycles");
    Connect(client);
    EXPECT_EQ(Echo(client, 1), 1);
  };
  for (int n = 0; n < 50; ++n) cycle();
  const int descriptors = Entries("/proc/self/fd"), threads = Entries("/proc/self/task");
  const long memory = ResidentKb();
  for (int n = 0; n < 1000; ++n) cycle();
  EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
  EXPECT_TRUE(WaitFor([&] { return Entries("/proc/self/task") <= threads; }, 3000))
      << Entries("/proc/self/task") << " " << threads;
#ifndef __SANITIZE_ADDRESS__  // ASan keeps freed memory in quarantine; LeakSanitizer checks
  EXPECT_LT(ResidentKb() - memory, 8 * 1024);
#else
  (void)memory;
#endif
}

namespace {
// A server whose accept queue is full: the kernel drops further connection requests, as a host
// behind a dropping firewall does, and connect() would retry them for about two minutes.
class DroppingListener {
 public:
  DroppingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(14200);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 0), 0);
    // Fill the queue (never accepted) until a request goes unanswered.
    for (int n = 0; n < 8; ++n) {
      int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers_.push_back(filler);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      pollfd entry{filler, POLLOUT, 0};
      if (::poll(&entry, 1, 300) == 0) return;
    }
    ADD_FAILURE() << "the accept queue never filled";
  }
  ~DroppingListener() {
    for (int filler : fillers_) ::close(filler);
    ::close(fd_);
  }

 private:
  int fd_ = -1;
  std::vector<int> fillers_;
};
}  // namespace

// A server that never answers the connection request: Connect gives up within its own limit
// (not after the kernel's two minutes), and Shutdown ends a reconnection-style endless Connect
// at once.
TEST_F(KCommFaults, ConnectToASilentHostIsBoundedAndCancellable) {
  DroppingListener listener;
  {
    KCommClient client("dropped");
    auto start = Clock::now();
    auto connecting = std::async(std::launch::async, [&] {
      return snltest::TextOf<dodudo::KSocketException>([&] { Connect(client, 1500); });
    });
    ASSERT_TRUE(ReadyWithin(connecting, 10));
    EXPECT_NE(connecting.get().find("Connection timed out"), std::string::npos);
    EXPECT_LT(SecondsSince(start), 4.0);
  }
  KCommClient client("forever");
  auto connecting = std::async(std::launch::async, [&] { Connect(client, 0xFFFFFFFFu); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  auto start = Clock::now();
  client.Shutdown();
  ASSERT_TRUE(ReadyWithin(connecting, 5));
  EXPECT_NO_THROW(connecting.get());
  EXPECT_LT(SecondsSince(start), 1.0);
}
