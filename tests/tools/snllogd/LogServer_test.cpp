// snllogd against hostile and broken peers: the server is a real process, every peer a real
// socket, and one peer's behaviour must never cost another peer its lines or its connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "SnllogdProcess.h"
#include "support/TestIsolation.h"

using snllogdtest::CountOf;
using snllogdtest::LogOf;
using snllogdtest::Peer;
using snllogdtest::Snllogd;
using snllogdtest::WaitFor;
using testing::HasSubstr;

namespace {

class SnllogdTest : public snltest::IsolatedTest {};

std::string Line(int n) { return "I|06/12/2026 10:00:00.000| line " + std::to_string(n) + "\n"; }

// Every line 0..count-1 of Line() once, in order.
bool HasLines(const std::string& log, int count) {
  std::string expected;
  for (int i = 0; i < count; ++i) expected += Line(i);
  return log == expected;
}

// A client that never reads floods the server with "reload" and "config_reload" requests while
// its receive buffer is full; an innocent client logs and reads meanwhile. The requests become
// one push of each kind, the innocent client keeps its connection and every line, and the server
// survives (under ASan in the address build: no use of a client after it was closed).
TEST_F(SnllogdTest, RequestBurstFromAClientThatNeverReads) {
  Snllogd server;
  Peer stalled("127.0.0.1", nullptr, 1024);
  ASSERT_TRUE(stalled.Connected());
  Peer innocent;
  ASSERT_TRUE(innocent.Connected());
  std::string burst;
  for (int i = 0; i < 2000; ++i)
    burst += Peer::Frame("0", "reload") + Peer::Frame("0", "config_reload");
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(stalled.SendBytes(burst));
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(innocent.Send("app", Line(round * 20 + i)));
  }
  ASSERT_TRUE(WaitFor([] { return HasLines(LogOf("app"), 100); })) << LogOf("app");
  ASSERT_TRUE(innocent.Receive(1500));
  // The one on connecting, then one for the burst (two if reading it took the server longer
  // than a second), not one per request.
  EXPECT_GE(innocent.Filters(), 2);
  EXPECT_LE(innocent.Filters(), 3);
  EXPECT_GE(innocent.Orders(), 1);
  EXPECT_LE(innocent.Orders(), 2);
  ASSERT_TRUE(innocent.Send("app", Line(100)));
  EXPECT_TRUE(WaitFor([] { return HasLines(LogOf("app"), 101); }));
  EXPECT_TRUE(server.Alive());
}

// 20,000 SIGHUPs: one push (the operator asked), not one per signal: a client's logs would get a
// CHECKPOINT line for each.
TEST_F(SnllogdTest, HangupBurstBecomesOnePush) {
  Snllogd server;
  Peer client;
  ASSERT_TRUE(client.Receive());
  ASSERT_EQ(1, client.Filters());
  for (int i = 0; i < 20000; ++i) server.Signal(SIGHUP);
  ASSERT_TRUE(client.Receive(1500));
  EXPECT_GE(client.Filters(), 2);
  EXPECT_LE(client.Filters(), 3);  // a burst longer than a second may take a second push
  // A change of klog.cfg is pushed by itself; a file rewritten unchanged is not.
  mkdir("/etc/tolma/config", 0755);
  std::ofstream("/etc/tolma/config/klog.cfg") << "[SNL]\nValue=true\n";
  int before = client.Filters();
  ASSERT_TRUE(WaitFor([&] { return client.Receive(100) && client.Filters() == before + 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  std::ofstream("/etc/tolma/config/klog.cfg") << "[SNL]\nValue=true\n";
  ASSERT_TRUE(client.Receive(2500));
  EXPECT_EQ(before + 1, client.Filters());
}

// One client sends 300 writer names while the server may hold only 256 descriptors: log files
// are closed and opened again as needed, every line is written and new clients are still
// accepted.
TEST_F(SnllogdTest, ThreeHundredWriterNames) {
  snllogdtest::Setup setup;
  setup.descriptors = 256;
  Snllogd server({}, setup);
  Peer client;
  for (int round = 0; round < 2; ++round) {
    std::string batch;
    for (int name = 0; name < 300; ++name)
      batch += Peer::Frame("w" + std::to_string(name), Line(round));
    ASSERT_TRUE(client.SendBytes(batch));
  }
  ASSERT_TRUE(WaitFor([] { return HasLines(LogOf("w299"), 2); }));
  for (int name = 0; name < 300; ++name)
    EXPECT_TRUE(HasLines(LogOf("w" + std::to_string(name)), 2)) << name;
  Peer late;
  ASSERT_TRUE(late.Send("late", Line(0)));
  EXPECT_TRUE(WaitFor([] { return HasLines(LogOf("late"), 1); }));
  EXPECT_TRUE(server.Alive());
}

// 1,000 connections against a limit of 256 descriptors: the server serves what fits, leaves the
// rest waiting without spinning on accept, writes the first line of a client connected earlier
// (the log directory was opened at start), and accepts again once connections end.
TEST_F(SnllogdTest, AThousandConnections) {
  snllogdtest::Setup setup;
  setup.descriptors = 256;
  Snllogd server({}, setup);
  Peer early;
  ASSERT_TRUE(early.Receive());  // accepted
  std::vector<std::unique_ptr<Peer>> crowd;
  std::vector<int> pending;
  for (int i = 0; i < 1000; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{AF_INET, htons(snllogdtest::kPort), {htonl(INADDR_LOOPBACK)}, {}};
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pending.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  double before = server.CpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_LT(server.CpuSeconds() - before, 0.5);  // not spinning
  ASSERT_TRUE(early.Send("early", Line(0)));
  ASSERT_TRUE(WaitFor([] { return HasLines(LogOf("early"), 1); }));
  for (int fd : pending) close(fd);
  Peer late;
  ASSERT_TRUE(late.Send("late", Line(0)));
  EXPECT_TRUE(WaitFor([] { return HasLines(LogOf("late"), 1); }));
  EXPECT_TRUE(server.Alive());
}

// A client floods the server as fast as loopback carries (records the server parses and drops),
// more than the server's memory limit, while another one logs a line every 50 ms: the flood is read a bounded turn at a time, so the
// server's memory stays small (under a 256 MB address-space limit where no sanitizer needs more)
// and the other client's lines arrive without delay.
TEST_F(SnllogdTest, FloodUnderAMemoryLimit) {
  snllogdtest::Setup setup;
  if (!SNL_SANITIZED) setup.addressSpace = 256u << 20;
  Snllogd server({}, setup);
  Peer quiet;
  ASSERT_TRUE(quiet.Receive());
  std::atomic<bool> stop{false};
  std::atomic<long long> flooded{0};
  std::thread flooder([&] {
    Peer flood;
    std::string chunk;
    while (chunk.size() < (4u << 20)) chunk += Peer::Frame("0", std::string(2000, 'x'));
    while (!stop && flooded < (1ll << 30) && flood.SendBytes(chunk)) flooded += chunk.size();
  });
  // At least 40 lines, and on until the flood has passed more than the memory limit (less under
  // the sanitizers, which slow both ends down), 30 s at most.
  const long long target = SNL_SANITIZED ? 64ll << 20 : 256ll << 20;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  long worstMs = 0;
  int arrived = 0;
  bool late = false;
  for (; arrived < 40 || (flooded < target && std::chrono::steady_clock::now() < until);
       ++arrived) {
    auto sent = std::chrono::steady_clock::now();
    if (!quiet.Send("quiet", Line(arrived)) ||
        !WaitFor([&] { return HasLines(LogOf("quiet"), arrived + 1); }, 10000)) {
      late = true;
      break;
    }
    auto took = std::chrono::steady_clock::now() - sent;
    worstMs = std::max<long>(
        worstMs, std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  long peakKb = server.PeakKb();
  stop = true;
  flooder.join();
  EXPECT_FALSE(late) << arrived;
  EXPECT_GE(arrived, 40);
  EXPECT_TRUE(server.Alive());
  EXPECT_GE(flooded, target);
  EXPECT_LT(worstMs, 1000);
  EXPECT_LT(peakKb, (SNL_SANITIZED ? 200 : 64) * 1024);
}

// Control requests from a second address of the test's own network namespace (another machine,
// as far as the server can tell; it sits on the loopback interface because the kernels these
// tests run on may lack the dummy and veth drivers): ignored by default, so a local process is never told to reload;
// obeyed once --allow-control names that network; refused altogether outside --allow.
TEST_F(SnllogdTest, ControlRequestsFromAnotherMachine) {
  ASSERT_EQ(0, system("ip addr add 10.77.0.1/24 dev lo"));
  std::string requests;
  for (int i = 0; i < 500; ++i)
    requests += Peer::Frame("0", "reload") + Peer::Frame("0", "config_reload");
  {
    Snllogd server({"--listen", "0.0.0.0"});
    Peer local;
    Peer remote("10.77.0.1", "10.77.0.1");
    ASSERT_TRUE(remote.SendBytes(requests));
    ASSERT_TRUE(remote.Send("app", Line(0)));
    ASSERT_TRUE(WaitFor([] { return HasLines(LogOf("app", "10.77.0.1"), 1); }));
    ASSERT_TRUE(local.Receive(1500));
    EXPECT_EQ(1, local.Filters());
    EXPECT_EQ(0, local.Orders());
    EXPECT_THAT(server.Err(), HasSubstr("ignored a \"reload\" request from 10.77.0.1"));
  }
  {
    Snllogd server({"--listen", "0.0.0.0", "--allow-control", "10.77.0.0/24"});
    Peer local;
    Peer remote("10.77.0.1", "10.77.0.1");
    ASSERT_TRUE(remote.SendBytes(requests));
    ASSERT_TRUE(local.Receive(1500));
    EXPECT_GE(local.Filters(), 2);
    EXPECT_LE(local.Filters(), 3);
    EXPECT_GE(local.Orders(), 1);
    EXPECT_LE(local.Orders(), 2);
  }
  {
    Snllogd server({"--listen", "0.0.0.0", "--allow", "127.0.0.0/8", "--allow", "10.9.0.0/16"});
    Peer remote("10.77.0.1", "10.77.0.1");
    remote.Send("refused", Line(0));
    EXPECT_FALSE(remote.Receive(1000));  // closed at once, nothing pushed
    EXPECT_EQ(0, remote.Filters());
    Peer local;
    ASSERT_TRUE(local.Send("app", Line(0)));
    ASSERT_TRUE(WaitFor([] { return HasLines(LogOf("app"), 1); }));
    EXPECT_EQ("", LogOf("refused", "10.77.0.1"));
    EXPECT_THAT(server.Err(), HasSubstr("refused a connection from 10.77.0.1"));
  }
}

// Record texts that would forge lines or reach a terminal: each record is one line, escaped.
TEST_F(SnllogdTest, RecordsCannotForgeLines) {
  Snllogd server;
  Peer client;
  const std::string texts[] = {
      "I|06/12/2026 10:00:00.000| ok\nE|06/12/2026 10:00:00.000| forged\n",
      "no line end",
      "next\n",
      "\x1b]2;title\x07\x1b[2J cleared\r\n",
      std::string("nul\0byte\n", 9),
      "c1 \xc2\x9b utf8 \xc3\xa9 latin1 \xe9 raw \x9b del \x7f tab\tend\n",
      "\n",
  };
  for (const std::string& text : texts) ASSERT_TRUE(client.Send("app", text));
  ASSERT_TRUE(client.Send("app", ""));  // nothing to write
  // Writer names are file names: other bytes replaced, leading dots gone, at most 200 bytes.
  ASSERT_TRUE(client.Send("../x/\x1b", "named\n"));
  ASSERT_TRUE(client.Send(std::string(300, 'n'), "long\n"));
  ASSERT_TRUE(client.Send("app", "last\n"));
  ASSERT_TRUE(WaitFor([] { return CountOf(LogOf("app"), "last\n") == 1; }));
  EXPECT_EQ(
      "I|06/12/2026 10:00:00.000| ok\\x0aE|06/12/2026 10:00:00.000| forged\n"
      "no line endnext\n"  // a line the library sent as two records
      "\\x1b]2;title\\x07\\x1b[2J cleared\\x0d\n"
      "nul\\x00byte\n"
      "c1 \\xc2\\x9b utf8 \xc3\xa9 latin1 \xe9 raw \\x9b del \\x7f tab\tend\n"
      "\n"
      "last\n",
      LogOf("app"));
  EXPECT_EQ("named\n", LogOf("_x__"));
  EXPECT_EQ("long\n", LogOf(std::string(200, 'n')));
  // The start of a line is kept per connection: another connection's line of the same writer is
  // never glued to it, and a connection that ends writes what it started, with the line end.
  {
    Peer other;
    ASSERT_TRUE(other.Send("app", "started"));
    ASSERT_TRUE(client.Send("app", "whole\n"));
    ASSERT_TRUE(WaitFor([] { return CountOf(LogOf("app"), "whole\n") == 1; }));
  }
  ASSERT_TRUE(WaitFor([] { return CountOf(LogOf("app"), "started\n") == 1; }));
  EXPECT_EQ(0u, CountOf(LogOf("app"), "startedwhole"));
}

// Broken peers lose their own connection and nothing else: a record that does not parse, one
// larger than any valid record, and one left incomplete past the timeout.
TEST_F(SnllogdTest, BrokenPeersLoseOnlyTheirOwnConnection) {
  Snllogd server({"--timeout", "1"});
  Peer good;
  Peer malformed, oversized, incomplete;
  ASSERT_TRUE(malformed.SendBytes(std::string("\x08\0\0\0\xff\xff\xff\xff\0\0\0\0", 12)));
  ASSERT_TRUE(oversized.SendBytes(std::string("\x00\x00\x01\x00", 4) + std::string(100, 'x')));
  std::string frame = Peer::Frame("app", Line(99));
  ASSERT_TRUE(incomplete.SendBytes(frame.substr(0, frame.size() / 2)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(malformed.Receive(1000));
  EXPECT_FALSE(oversized.Receive(1000));
  EXPECT_FALSE(incomplete.Receive(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_TRUE(good.Receive(100));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(good.Send("app", Line(i)));
  EXPECT_TRUE(WaitFor([] { return HasLines(LogOf("app"), 3); }));
  EXPECT_THAT(server.Err(), HasSubstr("it left a record incomplete"));
}

// What a client sent before SIGTERM is written before the server ends.
TEST_F(SnllogdTest, LinesSentBeforeTheStopAreWritten) {
  auto server = std::make_unique<Snllogd>();
  Peer client;
  ASSERT_TRUE(client.Receive());
  std::string batch;
  for (int i = 0; i < 2000; ++i) batch += Peer::Frame("app", Line(i));
  ASSERT_TRUE(client.SendBytes(batch));
  int status = server->Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(HasLines(LogOf("app"), 2000));
}

// A client that goes on flooding after SIGTERM: the lines another client had sent before it are
// still written (the flood connected first and would otherwise be read for the whole time left).
TEST_F(SnllogdTest, AFloodAtTheStopDoesNotCostOthersTheirLines) {
  auto server = std::make_unique<Snllogd>();
  Peer flood;
  ASSERT_TRUE(flood.Receive());
  Peer innocent;
  ASSERT_TRUE(innocent.Receive());
  std::atomic<bool> stop{false};
  std::thread flooder([&] {
    std::string chunk;
    // Control bytes: each costs the server an escape, so that the flood never runs dry.
    while (chunk.size() < (4u << 20)) chunk += Peer::Frame("flood", std::string(2000, '\x01'));
    while (!stop && flood.SendBytes(chunk)) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Stopped, the server reads nothing of the batch before SIGTERM reaches it.
  server->Signal(SIGSTOP);
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += Peer::Frame("app", Line(i));
  ASSERT_TRUE(innocent.SendBytes(batch));
  server->Signal(SIGTERM);
  int status = server->Stop(SIGCONT);
  stop = true;
  flooder.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(HasLines(LogOf("app"), 1000)) << CountOf(LogOf("app"), "\n");
}

}  // namespace
