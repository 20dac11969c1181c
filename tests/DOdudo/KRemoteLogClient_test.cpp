// Remote logging end to end: the library in this process, the reference log server (snllogd) in
// another.
#include "DOdudo/KRemoteLogClient.h"

#include <gmock/gmock.h>

#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>

#include <chrono>
#include <regex>
#include <thread>

#include "DOdudo/KLogger.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "LogServerProcess.h"
#include "support/LoopbackPeer.h"
#include "support/RecordingLogServer.h"
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
  // Four threads, bursts that fit the queue: every line arrives, each thread's in its order, and
  // the long lines (three records each) between them arrive whole, never mixed with another.
  logtest::InThreads(4, [](int t) {
    KLogger mine(klogSNL, -1, "SNL", "snl", 0, false);
    const std::string tail(5000, static_cast<char>('a' + t));
    for (int i = 1; i <= 300; ++i) {
      mine.Notice("t%d %d", t, i);
      if (i % 50 == 0) mine.Notice("t%d %s", t, tail.c_str());
      if (i % 30 == 0) WaitFor([] { return Client()->Waiting() == 0; });
    }
  });
  // Lines longer than a record carries (2,047 characters) reach the file byte for byte.
  for (size_t length : {3000, 20000}) log.Warning("%s", std::string(length, 'z').c_str());
  ASSERT_TRUE(ServerHas("snl.log", 1 + 1200 + 24 + 2));
  std::vector<std::string> lines = ServerLines("snl.log");
  EXPECT_EQ("I|<time>|SNL     | first", lines.front());
  std::vector<std::string> mine[4];
  int whole[4] = {};
  for (const std::string& line : lines) {
    if (line.rfind("N|<time>| t", 0) != 0) continue;
    int t = line[11] - '0';
    if (line.size() > 5000) {
      whole[t] += line.substr(13) == std::string(5000, static_cast<char>('a' + t));
    } else {
      mine[t].push_back(line.substr(13));
    }
  }
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(Numbered("", 1, 300), mine[t]) << "thread " << t;
    EXPECT_EQ(6, whole[t]) << "thread " << t;
  }
  std::string header = "W|<time>|SNL     | ";
  EXPECT_EQ(header + std::string(3000, 'z'), lines[lines.size() - 2]);
  EXPECT_EQ(header + std::string(20000, 'z'), lines.back());
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

// A server that sends garbage on every connection: the client notes the failure once and backs
// off (1, 2, 4 s ...) instead of reconnecting for every log call.
TEST_F(KRemoteLogClientTest, AServerSendingGarbageIsBackedOff) {
  // A filter record cut short.
  snltest::RecordingLogServer server(std::string("\x0c\0\0\0\x02\0\0\0\x1d\0\0\0\0\0\0\0", 16));
  ClientConfig(server.Port());
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  for (int i = 0; i < 3000; ++i) {
    log.Notice("call %d", i);
    std::this_thread::sleep_for(std::chrono::microseconds(1000));
  }
  EXPECT_LE(server.Connections(), 4);
  EXPECT_GE(server.Connections(), 2);
  // Besides the counts of lines dropped meanwhile, one note.
  std::vector<std::string> notes;
  for (const std::string& line : FallbackLines())
    if (line.find(" log lines dropped since ") == std::string::npos) notes.push_back(line);
  EXPECT_EQ(std::vector<std::string>{"Error in ReloadConfigThread: Read beyond end of buffer (1 "
                                     "bytes requested, 0 left)"},
            notes);
}

// Lines dropped while the server is away are counted, and the count reaches the server and
// klog.log once records flow again: every line logged is either received or counted. A prompt
// line wakes the flush thread even when it is dropped, so the client reconnects within a
// fraction of a second of the server's return.
TEST_F(KRemoteLogClientTest, LinesDroppedWhileTheServerIsAwayAreCounted) {
  logtest::LogServerProcess server(kSnlTraced);
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  log.Notice("before");
  ASSERT_TRUE(ServerHas("snl.log", 1));
  server.Stop(SIGKILL);
  std::atomic<bool> stop{false};
  std::atomic<int> logged{0};
  std::thread loggers([&] {
    logtest::InThreads(8, [&](int t) {
      KLogger mine(klogSNL, -1, "SNL", "snl", 0, false);
      for (int i = 0; !stop; ++i) {
        mine.Notice("t%d %d", t, i);
        ++logged;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  size_t before = ServerLines("snl.log").size();
  server.Start(kSnlTraced);
  auto back = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitFor([&] { return ServerLines("snl.log").size() > before; }));
  EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::milliseconds(700));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop = true;
  loggers.join();
  static const std::regex report(
      R"(W\|<time>\| (\d+) log lines dropped since <time>: )"
      R"(the queue to the log server was full)");
  // Every line logged arrives or is counted (the counts themselves arrive once records flow).
  auto accounted = [&](long long& dropped) {
    long long received = 0;
    dropped = 0;
    for (const std::string& line : ServerLines("snl.log"))
      received += line.rfind("N|<time>| t", 0) == 0;
    std::smatch m;
    for (const std::string& line : ServerLines("klog.log"))
      if (std::regex_match(line, m, report)) dropped += std::stoll(m[1]);
    return received + dropped;
  };
  long long dropped = 0;
  EXPECT_TRUE(WaitFor([&] { return accounted(dropped) == logged; }))
      << accounted(dropped) << " of " << logged;
  EXPECT_GT(dropped, 1000);
  long long noted = 0;
  static const std::regex note(R"((\d+) log lines dropped since .*)");
  std::smatch m;
  for (const std::string& line : FallbackLines())
    if (std::regex_match(line, m, note)) noted += std::stoll(m[1]);
  EXPECT_EQ(dropped, noted);
}

std::atomic<int> g_filters{0};

// A pushed filter cannot make the logs rotate after a few lines or delete them.
TEST_F(KRemoteLogClientTest, PushedSizeLimitsHaveAFloor) {
  logtest::LogServerProcess server("MaxLogFileSize=1\nMaxTotalLogSize=1\n[SNL]\nValue=true\n");
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger::SetFilterConfigCallback([](bool) { ++g_filters; });
  log.Notice("hello");
  ASSERT_TRUE(WaitFor([] { return g_filters == 1; }));
  EXPECT_EQ(1048576u, Client()->Filter()->MaxLogFileSize());
  EXPECT_EQ(10485760u, Client()->Filter()->MaxTotalLogSize());
}

// A listener of another user on the log port (any local user can take it while the real server
// is not running) gets nothing: the client refuses it, says so once in klog.log and tries again
// later, and logs to root's server once that one listens.
TEST_F(KRemoteLogClientTest, AnImpostorListenerOfAnotherUserIsRefused) {
  int control[2], result[2];
  ASSERT_EQ(0, pipe(control));
  ASSERT_EQ(0, pipe(result));
  pid_t impostor = fork();
  if (impostor == 0) {
    // Only system calls: nobody's listener counts connections and the bytes they carry.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(control[1]);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(1);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address{AF_INET, htons(14110), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0)
      _exit(2);
    close(result[0]);
    (void)!write(result[1], "L", 1);
    long counts[2] = {0, 0};
    pollfd wait[2] = {{fd, POLLIN, 0}, {control[0], POLLIN, 0}};
    while (poll(wait, 2, -1) > 0 && wait[1].revents == 0) {
      int peer = accept(fd, nullptr, nullptr);
      ++counts[0];
      char block[4096];
      for (ssize_t n; (n = recv(peer, block, sizeof block, 0)) > 0;) counts[1] += n;
      close(peer);
    }
    (void)!write(result[1], counts, sizeof counts);
    _exit(0);
  }
  close(control[0]);
  close(result[1]);
  char ready;
  ASSERT_EQ(1, read(result[0], &ready, 1));
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  for (int i = 0; i < 35; ++i) {
    log.Notice("line %d", i);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  close(control[1]);
  long counts[2] = {-1, -1};
  ASSERT_EQ(static_cast<ssize_t>(sizeof counts), read(result[0], counts, sizeof counts));
  waitpid(impostor, nullptr, 0);
  EXPECT_GE(counts[0], 2);  // tried again
  EXPECT_LE(counts[0], 3);  // after 1 s, then 2 s
  EXPECT_EQ(0, counts[1]);  // and sent nothing
  EXPECT_EQ(std::vector<std::string>{"Log server at 127.0.0.1:14110 refused: its socket belongs to uid "
                                     "65534, neither root nor this process's user"},
            FallbackLines());
  // Root's own server is taken as soon as the back-off allows.
  logtest::LogServerProcess server(kSnlTraced);
  log.Notice("to root");
  ASSERT_TRUE(ServerHas("snl.log", 36));
  std::vector<std::string> expected = Numbered("N|<time>| line ", 0, 34);
  expected.push_back("N|<time>| to root");
  EXPECT_EQ(expected, ServerLines("snl.log"));
}

}  // namespace
