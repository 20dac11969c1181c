// The comm client end to end against commsim, a real separate process on 127.0.0.1: handshake
// checks, retries, commands and queries, events, lost and restored connections, shutdown.
#include "DOdudo/comm/KCommClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CommTestSupport.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "support/TestIsolation.h"
#include "tools/commsim/Server.h"

using comm::KCommClient;
using comm::KEnvelope;
using commtest::CommSim;
using commtest::Count;
using commtest::Lines;
using commtest::WaitFor;
using dodudo::kstring;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned int kPort = 14200;

void Connect(KCommClient& client, unsigned int timeoutMs = 5000) {
  client.Connect("app", "127.0.0.1", kPort, comm::KHelloMsg::Z7M_SERVER, 1, 0, 0, timeoutMs, true);
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What the event callback saw: module * 1000 + code, in order.
std::mutex eventsMutex;
std::vector<int> events;
void Record(KCommClient*, KEnvelope& event, unsigned int count) {
  EXPECT_EQ(count, 0u);
  std::lock_guard<std::mutex> lock(eventsMutex);
  events.push_back(event.GetModule() * 1000 + event.GetCode());
}
int Seen(int event) {
  std::lock_guard<std::mutex> lock(eventsMutex);
  return static_cast<int>(std::count(events.begin(), events.end(), event));
}
int IndexOf(int event) {
  std::lock_guard<std::mutex> lock(eventsMutex);
  auto it = std::find(events.begin(), events.end(), event);
  return it == events.end() ? -1 : static_cast<int>(it - events.begin());
}
constexpr int kConnFail = 1008, kReconnected = 1009, kTick = 20101, kPushed = 20100;

class KCommClientTest : public ::testing::Test {
 protected:
  // The log manager ends with the last logger of the process: this one outlives the clients.
  KLogger keepLogging{klogZ7MClient, -1, "TEST", "commtest", 0, false};

  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.clear();
  }
};

}  // namespace

TEST_F(KCommClientTest, CommandsQueriesAndIdentity) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  EXPECT_EQ(client.GetConnectionId(), "app-0[0]");
  EXPECT_EQ(server.NextLine(), "connected app-0[0]");

  KEnvelope echo(commsim::SIM_MODULE, commsim::SIM_ECHO, 7, 0, kstring("hello"));
  kstring back;
  EXPECT_EQ(client.SendCommand(echo, back), 7);
  EXPECT_EQ(back, "hello");
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 8, 0, back), 8);

  KEnvelope failing(commsim::SIM_MODULE, commsim::SIM_FAIL, 0, 0);
  EXPECT_EQ(client.SendCommand(failing), 13);
  kstring answer;
  EXPECT_EQ(client.Query(3, "how", answer), 0);
  EXPECT_EQ(answer, "re: how");
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, 99, 0, 0, dodudo::KEmptyData()), 13);

  auto lines = Lines("commclient");
  EXPECT_EQ(Count(lines, "N Connecting to [127.0.0.1:14200], attempt 1"), 1);
  EXPECT_EQ(Count(lines, "I Connected from 127.0.0.1:"), 1);
  EXPECT_EQ(Count(lines, " to Z7M Server 127.0.0.1:14200"), 1);
  EXPECT_EQ(Count(lines, "N Connection id changing to (app-0[0])"), 1);
  EXPECT_EQ(Count(lines, "N Exception [Remote error [simulated failure] sent [" +
                             failing.Description() + "]] sending command"),
            1);
  EXPECT_EQ(Count(lines, "T Command [" + failing.Description() + "] returned 13"), 1);
}

// A server that is not the one expected is refused at once; one that differs only in its build
// is accepted with a trace line.
TEST_F(KCommClientTest, HelloChecks) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--service", "DVXP"}, "Invalid Server id: 1146509392, expected: 1513573715"},
      {{"--version", "2.0.0"}, "Version incompatibility, server: 2.0, expected: 1.0"},
      {{"--hello-code", "1"}, "Invalid hello msg (ENV(p"},
      {{"--version", "1.0.9"}, ""},
  };
  for (const Case& test : cases) {
    CommSim server(test.args);
    KCommClient client;
    auto start = Clock::now();
    try {
      Connect(client, 20000);
      EXPECT_EQ(test.error, "") << "accepted";
    } catch (const comm::KCommHandshakeError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, test.error.size()), test.error);
      EXPECT_NE(test.error, "");
    }
    EXPECT_LT(SecondsSince(start), 2.0) << test.args[0];  // no retry
  }
  auto lines = Lines("commclient");
  EXPECT_EQ(Count(lines, "Connecting to [127.0.0.1:14200], attempt 2"), 0);
  EXPECT_EQ(Count(lines, "N KCommClient handshake failed [Invalid Server id: "), 1);
  EXPECT_EQ(Count(lines, "T Running under different builds, server 1.0.9, client: 1.0.0"), 1);
  EXPECT_EQ(Count(lines, "to Z7M Server"), 1);
}

// A server that accepts and never greets holds Connect no longer than its timeout.
TEST_F(KCommClientTest, SilentServerBoundedByTimeout) {
  CommSim server({"--silent"});
  KCommClient client;
  auto start = Clock::now();
  EXPECT_THROW(Connect(client, 1500), comm::KCommHandshakeError);
  EXPECT_GT(SecondsSince(start), 1.2);
  EXPECT_LT(SecondsSince(start), 4.0);
  EXPECT_EQ(Count(Lines("commclient"),
                  "KCommClient handshake failed [Expected message (hello) not "
                  "received, aborting connection to Server [1513573715]]"),
            1);
}

TEST_F(KCommClientTest, RetriesEveryTwoAndAHalfSecondsWithinTheTimeout) {
  KCommClient client;
  auto start = Clock::now();
  EXPECT_THROW(Connect(client, 3000), dodudo::KSocketException);
  double took = SecondsSince(start);
  EXPECT_GT(took, 3.0);
  EXPECT_LT(took, 4.5);
  auto lines = Lines("commclient");
  EXPECT_EQ(Count(lines, "attempt 1"), 1);
  EXPECT_EQ(Count(lines, "attempt 2"), 1);
  EXPECT_EQ(Count(lines, "attempt 3"), 0);
  EXPECT_EQ(Count(lines, "N Failed to connect to server ["), 2);

  // A server that comes up during the wait is reached by the next attempt.
  KCommClient second("commclient2");
  start = Clock::now();
  auto connecting = std::async(std::launch::async, [&] { Connect(second, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  CommSim late({});
  EXPECT_NO_THROW(connecting.get());
  EXPECT_GT(SecondsSince(start), 2.0);
  EXPECT_EQ(Count(Lines("commclient2"), "attempt 2"), 1);
}

// Server killed and restarted: CONN_FAIL, then RECONNECTED, broadcasts asked for again, commands
// in between fail fast with 13.
TEST_F(KCommClientTest, LostConnectionIsReportedAndRestored) {
  auto server = std::make_unique<CommSim>(std::vector<std::string>{"--tick", "50"});
  KCommClient client;
  Connect(client);
  client.RequestEvents(Record, true);
  ASSERT_TRUE(WaitFor([] { return Seen(kTick) >= 2; }, 5000));

  server->Kill();
  ASSERT_TRUE(WaitFor([] { return Seen(kConnFail) == 1; }, 5000));
  auto start = Clock::now();
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 1, 0, kstring("x")), 13);
  kstring answer = "untouched";
  EXPECT_EQ(client.Query(0, "anyone?", answer), 13);
  EXPECT_EQ(answer, "untouched");
  EXPECT_LT(SecondsSince(start), 1.0);

  server = std::make_unique<CommSim>(std::vector<std::string>{"--tick", "50"});
  ASSERT_TRUE(WaitFor([] { return Seen(kReconnected) == 1; }, 15000));
  int restoredAt = IndexOf(kReconnected);
  EXPECT_GT(restoredAt, IndexOf(kConnFail));
  // Broadcasts were asked for again: ticks flow from the new server.
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(eventsMutex);
        return std::count(events.begin() + restoredAt, events.end(), kTick) >= 2;
      },
      5000));
  EXPECT_EQ(client.GetConnectionId(), "app-1[0]");
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 2, 0, kstring("y")), 2);
  auto lines = Lines("commclient");
  EXPECT_EQ(Count(lines, "N Client connection fail, trying to reconnect"), 1);
  EXPECT_EQ(Count(lines, "Connection id changing to (app-1[0])"), 1);
}

// A connection dropped while a command waits: the command ends at once with 13 (its reply can
// never come) and the client comes back on its own; likewise with a server that closes every
// connection after two envelopes (both answered).
TEST_F(KCommClientTest, DroppedConnectionsEndTheWaitingCommandAndComeBack) {
  CommSim server({"--drop-after", "2"});
  KCommClient client;
  Connect(client);
  client.SetEventCallback(Record);
  auto start = Clock::now();
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_DROP, 0, 0, dodudo::KEmptyData()),
            13);
  EXPECT_LT(SecondsSince(start), 2.0);
  ASSERT_TRUE(WaitFor([] { return Seen(kReconnected) == 1; }, 10000));
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 1, 0, kstring("a")), 1);
  EXPECT_EQ(client.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 2, 0, kstring("b")), 2);
  ASSERT_TRUE(WaitFor([] { return Seen(kReconnected) == 2; }, 10000));
  EXPECT_EQ(client.GetConnectionId(), "app-2[2]");
  std::lock_guard<std::mutex> lock(eventsMutex);  // never held while calling the client
  EXPECT_EQ(events, (std::vector<int>{kConnFail, kReconnected, kConnFail, kReconnected}));
}

// The text's 30-second limit on a reply, for real: the command reports 13, and the reply that
// comes afterwards is dropped, never taken for the next command's.
TEST_F(KCommClientTest, WithheldReplyTimesOutAndTheLateOneIsDropped) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  KEnvelope slow(commsim::SIM_MODULE, commsim::SIM_SLEEP, 31000, 0);
  auto start = Clock::now();
  EXPECT_EQ(client.SendCommand(slow), 13);
  double took = SecondsSince(start);
  EXPECT_GT(took, 29.5);
  EXPECT_LT(took, 31.0);
  // The next command waits behind the server's sleep and gets its own reply.
  KEnvelope next(commsim::SIM_MODULE, commsim::SIM_ECHO, 6, 0, kstring("w"));
  EXPECT_EQ(client.SendCommand(next), 6);
  auto lines = Lines("commclient");
  EXPECT_EQ(
      Count(lines, "N Exception [Sync message " + slow.Description() + " timeout] sending command"),
      1);
  // Whichever request holds the slot then (the keep-alive probe may come first), the late reply
  // is dropped.
  EXPECT_EQ(Count(lines, "N Response dropped! Expected "), 1);
  EXPECT_EQ(Count(lines, " received " + std::to_string(slow.GetPacketId()) + " packet=[ENV(p"), 1);
}

TEST_F(KCommClientTest, EventsByCallbackAndByFetchingOverBothTransports) {
  CommSim server({});
  for (bool buffered : {false, true}) {
    KCommClient client(buffered ? "buffered" : "plain", buffered);
    Connect(client);
    // Without a callback the events wait in the queue for the application.
    client.RequestEvents(nullptr, true);
    ASSERT_EQ(
        client.SendCommand(commsim::SIM_MODULE, commsim::SIM_PUSH, 3, 0, dodudo::KEmptyData()), 0);
    unsigned int count = 77;
    for (int n = 0; n < 3; ++n) {
      KEnvelope event;
      ASSERT_TRUE(client.GetNextAsyncMessage(event, count, 5000));
      EXPECT_EQ(event.GetCode(), commsim::SIM_EVENT);
      EXPECT_EQ(event.GetG(), n);
      EXPECT_EQ(event.GetI(), 3);
      EXPECT_EQ(event.Payload().Size(), 32u);
    }
    EXPECT_EQ(count, 77u);
    KEnvelope none;
    EXPECT_FALSE(client.GetNextAsyncMessage(none, count, 50));

    client.RequestEvents(Record, true);
    ASSERT_EQ(
        client.SendCommand(commsim::SIM_MODULE, commsim::SIM_PUSH, 100, 0, dodudo::KEmptyData()),
        0);
    ASSERT_TRUE(WaitFor([] { return Seen(kPushed) == 100; }, 10000));
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.clear();
  }
}

// A callback that answers events with commands while more events keep arriving: the message
// thread must go on receiving (the replies) while the callback runs.
std::atomic<int> answered{0};
void AnswerTick(KCommClient* client, KEnvelope& event, unsigned int) {
  if (event.GetCode() != commsim::SIM_TICK || answered >= 3) return;
  if (client->SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 4, 0, kstring("t")) == 4)
    ++answered;
}

TEST_F(KCommClientTest, CallbackMaySendCommands) {
  CommSim server({"--tick", "5"});
  KCommClient client;
  Connect(client);
  auto start = Clock::now();
  client.RequestEvents(AnswerTick, true);
  EXPECT_TRUE(WaitFor([] { return answered == 3; }, 10000));
  EXPECT_LT(SecondsSince(start), 5.0);
}

TEST_F(KCommClientTest, ShutdownOnceEndsAWaitingCommandAndCoversEveryClient) {
  CommSim server({});
  auto first = std::make_unique<KCommClient>("first");
  KCommClient second("second");
  Connect(*first);
  Connect(second);
  first->RequestEvents(Record, true);
  auto waiting = std::async(std::launch::async, [&] {
    return first->SendCommand(commsim::SIM_MODULE, commsim::SIM_SLEEP, 20000, 0,
                              dodudo::KEmptyData());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = Clock::now();
  KCommClient::NotifyAppTermination();
  EXPECT_EQ(waiting.get(), 13);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_TRUE(first->IsShuttingDown());
  EXPECT_TRUE(second.IsShuttingDown());
  second.Shutdown();
  EXPECT_EQ(second.SendCommand(commsim::SIM_MODULE, commsim::SIM_ECHO, 1, 0, kstring("v")), 13);
  first.reset();
  EXPECT_EQ(Count(Lines("first"), "N Shutting connection down..."), 1);
  EXPECT_EQ(Count(Lines("second"), "N Shutting connection down..."), 1);
  EXPECT_EQ(Count(Lines("first"), "N Leaving event thread"), 1);
}
