// The comm client end to end against commsim, a real separate process on 127.0.0.1: handshake
// checks, retries, commands and queries, events, lost and restored connections, shutdown.
#include "DOdudo/comm/KCommClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>

#include "CommTestSupport.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "support/TestIsolation.h"
#include "tools/commsim/Server.h"

using comm::KCommClient;
using comm::KEnvelope;
using commsim::SIM_MODULE;
using commtest::CommSim;
using commtest::Count;
using commtest::WaitFor;
using dodudo::kstring;
using commtest::Clock;
using commtest::Connect;
using commtest::Echo;
using commtest::SecondsSince;

namespace {

// What the event callback saw: module * 1000 + code, in order. The lock is never held while
// calling the client.
std::mutex eventsMutex;
std::vector<int> events;
void Record(KCommClient*, KEnvelope& event, unsigned int count) {
  EXPECT_EQ(count, 0u);
  std::lock_guard<std::mutex> lock(eventsMutex);
  events.push_back(event.GetModule() * 1000 + event.GetCode());
}
int Seen(int event, size_t from = 0) {
  std::lock_guard<std::mutex> lock(eventsMutex);
  return static_cast<int>(
      std::count(events.begin() + std::min(from, events.size()), events.end(), event));
}
constexpr int kConnFail = 1008, kReconnected = 1009, kTick = 20101, kPushed = 20100;

class KCommClientTest : public snltest::IsolatedTest {
 protected:
  // The log manager ends with the last logger of the process: this one outlives the clients.
  KLogger keepLogging{klogZ7MClient, -1, "TEST", "commtest", 0, false};
};

}  // namespace

TEST_F(KCommClientTest, CommandsQueriesAndIdentity) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  EXPECT_EQ(client.GetConnectionId(), "app-0[0]");
  EXPECT_EQ(server.NextLine(), "connected app-0[0]");

  KEnvelope echo(SIM_MODULE, commsim::SIM_ECHO, 7, 0, kstring("hello"));
  kstring back;
  EXPECT_EQ(client.SendCommand(echo, back), 7);
  EXPECT_EQ(back, "hello");
  KEnvelope failing(SIM_MODULE, commsim::SIM_FAIL, 0, 0);
  EXPECT_EQ(client.SendCommand(failing), 13);
  EXPECT_EQ(client.Query(3, "how", back), 0);
  EXPECT_EQ(back, "re: how");
  EXPECT_EQ(client.SendCommand(SIM_MODULE, 99, 0, 0, dodudo::KEmptyData()), 13);

  for (std::string line :
       std::vector<std::string>{"N Connecting to [127.0.0.1:14200], attempt 1",
                                "I Connected from 127.0.0.1:", " to Z7M Server 127.0.0.1:14200",
                                "N Connection id changing to (app-0[0])",
                                "T Command [" + failing.Description() + "] returned 13",
                                "N Exception [Remote error [simulated failure] sent [" +
                                    failing.Description() + "]] sending command"})
    EXPECT_EQ(Count("commclient", line), 1) << line;
}

// A server that is not the one expected, or never greets, is refused at once (no retry, the
// silent one within the timeout); one that differs only in its build is accepted with a trace.
TEST_F(KCommClientTest, HelloChecks) {
  struct Case {
    std::vector<std::string> args;
    unsigned int timeoutMs;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--service", "DVXP"}, 20000, "Invalid Server id: 1146509392, expected: 1513573715"},
      {{"--version", "2.0.0"}, 20000, "Version incompatibility, server: 2.0, expected: 1.0"},
      {{"--hello-code", "1"}, 20000, "Invalid hello msg (ENV(p"},
      {{"--silent"},
       1500,
       "Expected message (hello) not received, aborting connection to Server [1513573715]"},
      {{"--version", "1.0.9"}, 20000, "<no exception>"},
  };
  for (const Case& test : cases) {
    CommSim server(test.args);
    KCommClient client;
    auto start = Clock::now();
    const std::string error =
        snltest::TextOf<comm::KCommHandshakeError>([&] { Connect(client, test.timeoutMs); });
    EXPECT_EQ(error.substr(0, test.error.size()), test.error);
    EXPECT_LT(SecondsSince(start), 4.0) << test.args[0];
  }
  EXPECT_EQ(Count("commclient", "attempt 2"), 0);
  EXPECT_EQ(Count("commclient", "N KCommClient handshake failed [Invalid Server id: "), 1);
  EXPECT_EQ(Count("commclient", "T Running under different builds, server 1.0.9, client: 1.0.0"),
            1);
  EXPECT_EQ(Count("commclient", "to Z7M Server"), 1);
}

TEST_F(KCommClientTest, RetriesEveryTwoAndAHalfSecondsWithinTheTimeout) {
  KCommClient client;
  auto start = Clock::now();
  EXPECT_THROW(Connect(client, 3000), dodudo::KSocketException);
  EXPECT_GT(SecondsSince(start), 3.0);
  EXPECT_LT(SecondsSince(start), 4.5);
  EXPECT_EQ(Count("commclient", "attempt 2"), 1);
  EXPECT_EQ(Count("commclient", "attempt 3"), 0);
  EXPECT_EQ(Count("commclient", "N Failed to connect to server ["), 2);

  // A server that comes up during the wait (started from this thread) is reached by the next
  // attempt.
  KCommClient second("commclient2");
  start = Clock::now();
  auto connecting = std::async(std::launch::async, [&] { Connect(second, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  CommSim late({});
  EXPECT_NO_THROW(connecting.get());
  EXPECT_GT(SecondsSince(start), 2.0);
  EXPECT_EQ(Count("commclient2", "attempt 2"), 1);
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
  EXPECT_EQ(Echo(client, 1), 13);
  kstring answer = "untouched";
  EXPECT_EQ(client.Query(0, "anyone?", answer), 13);
  EXPECT_EQ(answer, "untouched");
  EXPECT_LT(SecondsSince(start), 1.0);

  server = std::make_unique<CommSim>(std::vector<std::string>{"--tick", "50"});
  ASSERT_TRUE(WaitFor([] { return Seen(kReconnected) == 1; }, 15000));
  size_t restoredAt, failedAt;
  {
    std::lock_guard<std::mutex> lock(eventsMutex);
    restoredAt = std::find(events.begin(), events.end(), kReconnected) - events.begin();
    failedAt = std::find(events.begin(), events.end(), kConnFail) - events.begin();
  }
  EXPECT_LT(failedAt, restoredAt);
  ASSERT_TRUE(WaitFor([&] { return Seen(kTick, restoredAt) >= 2; }, 5000));  // asked for again
  EXPECT_EQ(client.GetConnectionId(), "app-1[0]");
  EXPECT_EQ(Echo(client, 2), 2);
  EXPECT_EQ(Count("commclient", "N Client connection fail, trying to reconnect"), 1);
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
  EXPECT_EQ(client.SendCommand(SIM_MODULE, commsim::SIM_DROP, 0, 0, dodudo::KEmptyData()), 13);
  EXPECT_LT(SecondsSince(start), 2.0);
  ASSERT_TRUE(WaitFor([] { return Seen(kReconnected) == 1; }, 10000));
  EXPECT_EQ(Echo(client, 1), 1);
  EXPECT_EQ(Echo(client, 2), 2);
  ASSERT_TRUE(WaitFor([] { return Seen(kReconnected) == 2; }, 10000));
  EXPECT_EQ(client.GetConnectionId(), "app-2[2]");
  std::lock_guard<std::mutex> lock(eventsMutex);
  EXPECT_EQ(events, (std::vector<int>{kConnFail, kReconnected, kConnFail, kReconnected}));
}

// The 30-second limit on a reply, for real: the command reports 13, and the reply that comes
// afterwards is dropped, never taken for the next command's.
TEST_F(KCommClientTest, WithheldReplyTimesOutAndTheLateOneIsDropped) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  KEnvelope slow(SIM_MODULE, commsim::SIM_SLEEP, 31000, 0);
  auto start = Clock::now();
  EXPECT_EQ(client.SendCommand(slow), 13);
  EXPECT_GT(SecondsSince(start), 29.5);
  EXPECT_LT(SecondsSince(start), 31.0);
  EXPECT_EQ(Echo(client, 6), 6);  // waits behind the server's sleep and gets its own reply
  EXPECT_EQ(Count("commclient",
                  "N Exception [Sync message " + slow.Description() + " timeout] sending command"),
            1);
  // Whichever request holds the slot then (the keep-alive probe may come first), the late reply
  // is dropped.
  EXPECT_EQ(Count("commclient", "N Response dropped! Expected "), 1);
  EXPECT_EQ(
      Count("commclient", " received " + std::to_string(slow.GetPacketId()) + " packet=[ENV(p"), 1);
}

TEST_F(KCommClientTest, EventsByCallbackAndByFetchingOverBothTransports) {
  CommSim server({});
  for (bool buffered : {false, true}) {
    KCommClient client(buffered ? "buffered" : "plain", buffered);
    Connect(client);
    // Without a callback the events wait in the queue for the application.
    client.RequestEvents(nullptr, true);
    ASSERT_EQ(client.SendCommand(SIM_MODULE, commsim::SIM_PUSH, 3, 0, dodudo::KEmptyData()), 0);
    unsigned int count = 77;
    for (int n = 0; n < 3; ++n) {
      KEnvelope event;
      ASSERT_TRUE(client.GetNextAsyncMessage(event, count, 5000));
      EXPECT_EQ(commtest::Shape(event), "m20,c100,g" + std::to_string(n) + ",i3 sz=32)");
    }
    EXPECT_EQ(count, 77u);
    KEnvelope none;
    EXPECT_FALSE(client.GetNextAsyncMessage(none, count, 50));

    client.RequestEvents(Record, true);
    ASSERT_EQ(client.SendCommand(SIM_MODULE, commsim::SIM_PUSH, 100, 0, dodudo::KEmptyData()), 0);
    ASSERT_TRUE(WaitFor([] { return Seen(kPushed) == 100; }, 10000));
    std::lock_guard<std::mutex> lock(eventsMutex);
    events.clear();
  }
}

// A callback that answers events with commands while more events keep arriving: the message
// thread must go on receiving (the replies) while the callback runs.
std::atomic<int> answered{0};
void AnswerTick(KCommClient* client, KEnvelope& event, unsigned int) {
  if (event.GetCode() == commsim::SIM_TICK && answered < 3 && Echo(*client, 4) == 4) ++answered;
}

TEST_F(KCommClientTest, CallbackMaySendCommands) {
  CommSim server({"--tick", "5"});
  KCommClient client;
  Connect(client);
  client.RequestEvents(AnswerTick, true);
  EXPECT_TRUE(WaitFor([] { return answered == 3; }, 5000));
}

TEST_F(KCommClientTest, ShutdownOnceEndsAWaitingCommandAndCoversEveryClient) {
  CommSim server({});
  auto first = std::make_unique<KCommClient>("first");
  KCommClient second("second");
  Connect(*first);
  Connect(second);
  first->RequestEvents(Record, true);
  auto waiting = std::async(std::launch::async, [&] {
    return first->SendCommand(SIM_MODULE, commsim::SIM_SLEEP, 20000, 0, dodudo::KEmptyData());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = Clock::now();
  KCommClient::NotifyAppTermination();
  EXPECT_EQ(waiting.get(), 13);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_TRUE(first->IsShuttingDown() && second.IsShuttingDown());
  second.Shutdown();
  EXPECT_EQ(Echo(second, 1), 13);
  first.reset();
  for (const char* module : {"first", "second"})
    EXPECT_EQ(Count(module, "N Shutting connection down..."), 1) << module;
  EXPECT_EQ(Count("first", "N Leaving event thread"), 1);
}

namespace {
std::mutex sequenceMutex;
std::vector<int32_t> sequence;
void RecordSequence(KCommClient*, KEnvelope& event, unsigned int) {
  if (event.GetModule() != SIM_MODULE || event.GetCode() != commsim::SIM_EVENT) return;
  std::lock_guard<std::mutex> lock(sequenceMutex);
  sequence.push_back(event.GetG());
}
}  // namespace

// Requesters read their replies from the socket themselves and hand every other frame to the
// message thread: events pushed while two threads send back to back all arrive, once each and
// in the order sent, and every command gets its own reply.
TEST_F(KCommClientTest, EventsBetweenRepliesArriveOnceAndInOrder) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  client.RequestEvents(RecordSequence, true);
  // Pushed in batches while the senders run, each batch numbered from 0.
  constexpr int32_t kBatch = 300, kPushed = 10 * kBatch;
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, sent{0};
  auto sender = [&](int32_t base) {
    for (int32_t n = 0; !stop; ++n, ++sent)
      if (Echo(client, base + n % 1000) != base + n % 1000) ++wrong;
  };
  std::thread first(sender, 1000), second(sender, 5000);
  for (int batch = 0; batch < kPushed / kBatch; ++batch) {
    ASSERT_EQ(client.SendCommand(SIM_MODULE, commsim::SIM_PUSH, kBatch, 0, dodudo::KEmptyData()),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool all = WaitFor(
      [] {
        std::lock_guard<std::mutex> lock(sequenceMutex);
        return sequence.size() >= static_cast<size_t>(kPushed);
      },
      20000);
  stop = true;
  first.join();
  second.join();
  EXPECT_TRUE(all);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(sent, 20);
  std::lock_guard<std::mutex> lock(sequenceMutex);
  ASSERT_EQ(sequence.size(), static_cast<size_t>(kPushed));
  for (int32_t n = 0; n < kPushed; ++n) ASSERT_EQ(sequence[static_cast<size_t>(n)], n % kBatch);
}

// Shutdown while two threads send back to back (so a requester is reading the socket or has just
// asked the message thread to step aside): every thread ends and the client goes at once.
TEST_F(KCommClientTest, ShutdownWhileRequestersReadTheSocketEndsEverything) {
  CommSim server({});
  for (int round = 0; round < 20; ++round) {
    auto client = std::make_unique<KCommClient>("busy");
    Connect(*client);
    std::atomic<bool> stop{false};
    auto sender = [&] {
      while (!stop) Echo(*client, 1);
    };
    std::thread first(sender), second(sender);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + round));
    auto start = Clock::now();
    client->Shutdown();
    stop = true;
    first.join();
    second.join();
    client.reset();
    EXPECT_LT(SecondsSince(start), 3.0) << round;
  }
}

// Large commands while the server pushes a flood of events: a send that waits for the server to
// read never leaves the events untaken (the server would stop reading until they are), so no
// connection is lost and every event arrives.
TEST_F(KCommClientTest, LargeCommandsDuringAnEventFloodLoseNothing) {
  CommSim server({});
  KCommClient client;
  Connect(client);
  client.RequestEvents(RecordSequence, true);
  constexpr int32_t kPushed = 20000;
  const kstring large(8000, 'x');
  std::atomic<int> wrong{0};
  std::thread sender([&] {
    for (int n = 0; n < 300; ++n)
      if (client.SendCommand(SIM_MODULE, commsim::SIM_ECHO, n, 0, large) != n) ++wrong;
  });
  ASSERT_EQ(client.SendCommand(SIM_MODULE, commsim::SIM_PUSH, kPushed, 0, dodudo::KEmptyData()),
            0);
  sender.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_TRUE(WaitFor(
      [] {
        std::lock_guard<std::mutex> lock(sequenceMutex);
        return sequence.size() >= static_cast<size_t>(kPushed);
      },
      20000));
  EXPECT_EQ(Count("commclient", "Client connection fail"), 0);
}
