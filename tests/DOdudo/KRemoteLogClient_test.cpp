// Remote logging end to end: the library in this process, the reference log server (snllogd) in
// another.
#include "DOdudo/KRemoteLogClient.h"

#include <gmock/gmock.h>

#include <chrono>
#include <regex>
#include <thread>

#include "DOdudo/KLogger.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "LogServerProcess.h"
#include "support/LoopbackPeer.h"
#include "support/TestIsolation.h"

using logtest::WaitFor;
using testing::ElementsAre;

namespace {

const char* const kSnlTraced = "[SNL]\nValue=true\n";
const char* const kSnlSilent = "[SNL]\nValue=never\n";

std::vector<std::string> ServerLines(const std::string& name) {
  return logtest::LogLines("server/remote/127.0.0.1/" + name);
}

bool ServerHas(const std::string& name, size_t count) {
  return WaitFor([&] { return ServerLines(name).size() >= count; });
}

dodudo::KRemoteLogClient* Client() {
  return dynamic_cast<dodudo::KRemoteLogClient*>(KLogManager::Instance());
}

std::vector<std::string> Numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> lines;
  for (int i = from; i <= to; ++i) lines.push_back(prefix + std::to_string(i));
  return lines;
}

// The fallback lines of the client in the local klog.log.
std::vector<std::string> FallbackLines() {
  static const std::regex prefix(R"(^\d\d:\d\d:\d\d\.\d{3} PID=\d{4,}\| )");
  std::vector<std::string> lines;
  for (const std::string& line : logtest::ReadLines("/var/log/tolma/klog.log")) {
    if (std::regex_search(line, prefix)) lines.push_back(std::regex_replace(line, prefix, ""));
  }
  return lines;
}

// klog.cfg naming the log server at 127.0.0.1:port.
void ClientConfig(unsigned short port) {
  logtest::WriteConfig("RemoteLogHost=127.0.0.1\nRemoteLogPort=" + std::to_string(port) + "\n");
}

// A client configured for the log server at 127.0.0.1:14110.
class KRemoteLogClientTest : public ::testing::Test {
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    ClientConfig(14110);
  }
};

// Both keys are needed: the port is read first, and a missing key leaves the settings unread
// (read again on the next call) with whatever port came before the failure.
TEST(KRemoteLogSpecs, BothKeysAreNeeded) {
  SNL_REQUIRE_ISOLATION();
  dodudo::KRemoteLogSpecs& specs = dodudo::KRemoteLogSpecs::Instance();
  logtest::WriteConfig("RemoteLogPort=7000\n");
  specs.LoadValues();
  EXPECT_EQ("", specs.Host());
  EXPECT_EQ(7000, specs.Port());
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);  // no host: the plain manager
  EXPECT_EQ(nullptr, Client());
  logtest::WriteConfig("RemoteLogPort=7001\nRemoteLogHost=127.0.0.1\n");
  specs.LoadValues();
  logtest::WriteConfig("RemoteLogPort=7002\nRemoteLogHost=127.0.0.2\n");
  specs.LoadValues();  // loaded once, then kept
  EXPECT_EQ("127.0.0.1", specs.Host());
  EXPECT_EQ(7001, specs.Port());
}

TEST_F(KRemoteLogClientTest, RecordsArriveWholeInOrderAndExact) {
  logtest::LogServerProcess server(kSnlTraced);
  KLogger log(klogSNL, -1, "SNL", "snl", KLogger::KLOG_SHOW_NAME, false);
  ASSERT_NE(nullptr, Client());
  log.Info("first");
  ASSERT_TRUE(WaitFor([] { return Client()->Connected(); }));
  // Four threads, bursts that fit the queue: every line arrives, each thread's in its order.
  logtest::InThreads(4, [](int t) {
    KLogger mine(klogSNL, -1, "SNL", "snl", 0, false);
    for (int i = 1; i <= 300; ++i) {
      mine.Notice("t%d %d", t, i);
      if (i % 30 == 0) WaitFor([] { return Client()->Waiting() == 0; });
    }
  });
  std::string longText(3000, 'z');
  log.Warning("%s", longText.c_str());
  ASSERT_TRUE(ServerHas("snl.log", 1 + 1200 + 1));
  std::vector<std::string> lines = ServerLines("snl.log");
  EXPECT_EQ("I|<time>|SNL     | first", lines.front());
  std::vector<std::string> mine[4];
  for (const std::string& line : lines) {
    if (line.rfind("N|<time>| t", 0) == 0) mine[line[11] - '0'].push_back(line.substr(13));
  }
  for (int t = 0; t < 4; ++t) EXPECT_EQ(Numbered("", 1, 300), mine[t]) << "thread " << t;
  // A line longer than a record carries is cut, its line end kept.
  std::string header = "W|<time>|SNL     | ";
  EXPECT_EQ(header + std::string(2046 - (header.size() - 6 + 23), 'z'), lines.back());
  // Nothing written locally: the copy of the warning to "messages" is discarded.
  EXPECT_FALSE(logtest::Exists("/var/log/tolma/snl.log"));
  EXPECT_FALSE(logtest::Exists("/var/log/tolma/messages.log"));
}

TEST_F(KRemoteLogClientTest, ServerRestartLosesNothingQueued) {
  logtest::LogServerProcess server(kSnlTraced);
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  for (int i = 1; i <= 20; ++i) log.Notice("r %d", i);
  ASSERT_TRUE(ServerHas("snl.log", 20));
  server.Stop(SIGKILL);
  // While the server is away, prompt records keep coming; it is back after 60 of them.
  for (int i = 21; i <= 140; ++i) {
    log.Notice("r %d", i);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (i == 80) server.Start(kSnlTraced);
  }
  auto back = std::chrono::steady_clock::now();
  ASSERT_TRUE(ServerHas("snl.log", 140));
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::milliseconds(2500));
  std::vector<std::string> numbers;
  for (const std::string& line : ServerLines("snl.log")) numbers.push_back(line.substr(10));
  EXPECT_EQ(Numbered("r ", 1, 140), numbers);
}

// No server at first: logging does not wait, the failure is reported once in klog.log, lazy
// records leave room in the queue for prompt ones, and all that is kept arrives once it is up.
TEST_F(KRemoteLogClientTest, ServerAbsentThenLate) {
  KLogger lazy(klogSNL, -1, "SNL", "snl", 0, true);
  // The first attempt fails (and is reported) before the records come.
  ASSERT_TRUE(WaitFor([] { return !FallbackLines().empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  unsigned int before = Client()->Waiting();  // the manager's own notices, prompt
  ASSERT_LT(before, 10u);
  auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= 120; ++i) lazy.Trace("lazy %d", i);
  EXPECT_EQ(101u, Client()->Waiting());
  for (int i = 1; i <= 80; ++i) lazy.Notice("prompt %d", i);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(150u, Client()->Waiting());
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more attempts
  std::vector<std::string> fallback = FallbackLines();
  ASSERT_EQ(1u, fallback.size());
  EXPECT_THAT(fallback[0],
              testing::StartsWith("Could not connect to log server at 127.0.0.1:14110 ("));
  EXPECT_EQ(std::vector<std::string>{"/var/log/tolma/klog.log"}, logtest::Glob("/var/log/tolma/*"));
  logtest::LogServerProcess server(kSnlTraced);
  int kept = static_cast<int>(101 - before);
  ASSERT_TRUE(ServerHas("snl.log", 150 - before));
  std::vector<std::string> expected = Numbered("T|<time>| lazy ", 1, kept);
  for (const std::string& line : Numbered("N|<time>| prompt ", 1, 49)) expected.push_back(line);
  EXPECT_EQ(expected, ServerLines("snl.log"));
}

std::atomic<int> g_remoteCallbacks{0};

TEST_F(KRemoteLogClientTest, PushedFiltersSwitchTracesAtOnce) {
  logtest::LogServerProcess server(kSnlSilent);
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger::SetFilterConfigCallback([](bool remote) { g_remoteCallbacks += remote ? 1 : 0; });
  log.Notice("hello");
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 1; }));
  log.Trace("hidden 1");
  server.WriteConfig(kSnlTraced);  // the server sees the change and pushes
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 2; }));
  EXPECT_TRUE(KLogger::IsOptionActive(klogSNL, 1));
  log.Trace("shown");
  server.Hangup();  // pushed again
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 3; }));
  log.Notice("between");
  server.WriteConfig(kSnlSilent);
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 4; }));
  EXPECT_FALSE(KLogger::IsOptionActive(klogSNL, 1));
  log.Trace("hidden 2");
  log.Notice("end");
  // Every filter after the first is marked by a checkpoint in the logs already written.
  ASSERT_TRUE(ServerHas("snl.log", 7));
  EXPECT_THAT(ServerLines("snl.log"),
              ElementsAre("N|<time>| hello", "T|<time>\t\t\t\t ***** CHECKPOINT 1 ***** ",
                          "T|<time>| shown", "T|<time>\t\t\t\t ***** CHECKPOINT 2 ***** ",
                          "N|<time>| between", "T|<time>\t\t\t\t ***** CHECKPOINT 3 ***** ",
                          "N|<time>| end"));
}

// The end of logging while the flush thread is stuck in a send to a server that does not read
// and the reload thread waits in a receive: both are woken and waited for before the client is
// freed (ASan watches), and the end does not hang.
TEST_F(KRemoteLogClientTest, EndsWhileItsThreadsAreBlockedOnTheServer) {
  snltest::LoopbackListener listener("127.0.0.1", 4096);
  ClientConfig(listener.Port());
  auto* log = new KLogger(klogSNL, -1, "SNL", "snl", 0, false);
  log->Notice("knock");
  snltest::Fd peer(listener.Accept());
  ASSERT_GE(peer.Get(), 0);
  ASSERT_TRUE(WaitFor([] { return Client()->Connected(); }));
  std::string line(1500, 'x');
  auto give = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Fill the socket until the queue stays full: the flush thread is then inside a send.
  while (std::chrono::steady_clock::now() < give) {
    log->Notice("%s", line.c_str());
    if (Client()->Waiting() == dodudo::KRemoteLogClient::kQueueSize) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (Client()->Waiting() == dodudo::KRemoteLogClient::kQueueSize) break;
    }
  }
  ASSERT_EQ(dodudo::KRemoteLogClient::kQueueSize, Client()->Waiting());
  auto start = std::chrono::steady_clock::now();
  KLogManager::GetMe(true);  // the end of logging, as the last logger's destruction makes it
  EXPECT_EQ(nullptr, KLogManager::Instance());
  delete log;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

// A server that sends garbage: the reload thread reports it in klog.log and drops the
// connection; the next record reconnects.
TEST_F(KRemoteLogClientTest, MalformedReloadRecordsFromAHostileServer) {
  snltest::LoopbackListener listener;
  ClientConfig(listener.Port());
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  const std::pair<std::string, const char*> garbage[] = {
      {std::string("\x0c\0\0\0\x02\0\0\0\x1d\0\0\0\0\0\0\0", 16),  // a filter cut short
       ".*reads past the end of its frame of 12 bytes.*"},
      {std::string("\x00\x00\x00\x10", 4),  // a 256 MiB frame
       ".*Frame of 268435456 bytes exceeds the limit of 65536.*"},
  };
  auto errors = [] {
    std::vector<std::string> found;
    for (const std::string& line : FallbackLines()) {
      if (line.rfind("Error in ReloadConfigThread: ", 0) == 0) found.push_back(line);
    }
    return found;
  };
  size_t sent = 0;
  for (const auto& [bytes, error] : garbage) {
    log.Notice("knock");  // a waiting record (re)connects
    snltest::Fd peer(listener.Accept());
    ASSERT_TRUE(snltest::WriteAll(peer.Get(), bytes));
    ASSERT_TRUE(WaitFor([&] { return errors().size() == sent + 1; }));
    EXPECT_THAT(errors()[sent++], testing::MatchesRegex(error));
  }
  log.Notice("still alive");
}

}  // namespace
