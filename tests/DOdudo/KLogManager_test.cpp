// The log manager: the reload thread with and without a log server, filters pushed by the
// server, requests to it, and the end of logging.
#include "DOdudo/KLogManager.h"

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "DOdudo/DOdudo.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogServerLink.h"
#include "DOdudo/KLogger.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

using testing::HasSubstr;

namespace {

// Waits until klog.log holds the text (the reload thread writes asynchronously).
bool WaitForKlog(const std::string& text, int ms = 3000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (logtest::ReadFile("/var/log/tolma/klog.log").find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A log server played by the test: each connection serves the scripted records, then blocks
// until terminated (or reports the end of the connection when told to).
struct Record {
  uint32_t type;
  unsigned int snlMask;
  bool endConnection;
};

struct FakeServer {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<Record> records;
  std::vector<std::pair<std::string, std::string>> sent;
  int connections = 0;
  bool failSend = false;
  bool throwOnReceive = false;
};
FakeServer g_server;

class FakeLink : public KLogServerLink {
 public:
  bool Receive(uint32_t& type, KLogFilter& filter) override {
    std::unique_lock<std::mutex> guard(g_server.lock);
    g_server.changed.wait(
        guard, [&] { return terminated_ || !g_server.records.empty() || g_server.throwOnReceive; });
    if (g_server.throwOnReceive) throw std::runtime_error("garbled record");
    if (terminated_) return false;
    Record record = g_server.records.front();
    g_server.records.pop_front();
    if (record.endConnection) return false;
    type = record.type;
    filter.OverwriteOption(klogSNL, record.snlMask);
    return true;
  }
  void Send(const std::string& name, const std::string& text) override {
    std::lock_guard<std::mutex> guard(g_server.lock);
    if (g_server.failSend) throw std::runtime_error("peer gone");
    g_server.sent.emplace_back(name, text);
  }
  void Terminate() override {
    std::lock_guard<std::mutex> guard(g_server.lock);
    terminated_ = true;
    g_server.changed.notify_all();
  }

 private:
  bool terminated_ = false;
};

KLogServerLink* ConnectFake(uint16_t port) {
  EXPECT_EQ(14110, port);
  std::lock_guard<std::mutex> guard(g_server.lock);
  ++g_server.connections;
  return new FakeLink();
}

void Push(Record record) {
  std::lock_guard<std::mutex> guard(g_server.lock);
  g_server.records.push_back(record);
  g_server.changed.notify_all();
}

bool WaitUntilServed() {
  for (int i = 0; i < 300; ++i) {
    {
      std::lock_guard<std::mutex> guard(g_server.lock);
      if (g_server.records.empty()) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(KLogManager, ReloadThreadRetriesWithoutALogServer) {
  SNL_REQUIRE_ISOLATION();
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  dodudo::Initialize();
  ASSERT_TRUE(WaitForKlog("| Connecting to log server (attempt 1)\n"));
  ASSERT_TRUE(WaitForKlog(
      "| Could not connect to log server, trying againg in 5s [no socket channel in this build]"));
  ASSERT_TRUE(WaitForKlog("| Connecting to log server (attempt 2)\n", 6000));
  auto start = std::chrono::steady_clock::now();
  dodudo::Finalize();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  for (const char* line :
       {"| Waiting reload config thread to exit\n", "| Leaving reload config thread\n",
        "| Signaling reload thread exit\n", "| Thread released\n"}) {
    EXPECT_THAT(klog, HasSubstr(line));
  }
  std::string running = logtest::ReadFile("/var/log/tolma/" + logtest::ExeName() + ".running.log");
  EXPECT_THAT(running,
              HasSubstr("| Thread started at file DOdudo/KLogger function ReloadConfigThread "
                        "line 436\n"));
}

int g_remoteCallbacks = 0;

TEST(KLogManager, FiltersFromTheServerAndCheckpoints) {
  SNL_REQUIRE_ISOLATION();
  SetLogServerConnector(ConnectFake);
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger other(klogTimer, -1, "TIMER", "timer", 0, false);
  KLogger::SetFilterConfigCallback([](bool remote) { g_remoteCallbacks += remote ? 1 : 0; });
  log.Notice("open");
  other.Notice("open too");
  dodudo::Initialize();
  Push({2, 0, false});  // the first filter: no checkpoint
  ASSERT_TRUE(WaitUntilServed());
  for (int i = 0; i < 300 && KLogger::IsOptionActive(klogSNL, 0xFFFFFFFFu); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(KLogger::IsOptionActive(klogSNL, 0xFFFFFFFFu));
  log.Trace("hidden");
  log.Notice("between");
  Push({2, 0xFFFFFFFFu, false});
  Push({1, 0, false});  // configuration reload: nothing to see in the logs
  Push({2, 0xFFFFFFFFu, false});
  Push({0, 0, true});  // the server ends the connection: reconnect at once
  ASSERT_TRUE(WaitUntilServed());
  ASSERT_TRUE(WaitForKlog("| Log server connection ended\n"));
  log.Trace("shown");
  dodudo::Finalize();
  EXPECT_THAT(
      logtest::LogLines("snl.log"),
      testing::ElementsAre("N|<time>| open", "N|<time>| between",
                           "T|<time>\t\t\t\t ***** CHECKPOINT 1 ***** ",
                           "T|<time>\t\t\t\t ***** CHECKPOINT 2 ***** ", "T|<time>| shown"));
  // The timer log was closed by the first filter and not written since: no checkpoint there.
  EXPECT_THAT(logtest::LogLines("timer.log"), testing::ElementsAre("N|<time>| open too"));
  EXPECT_EQ(3, g_remoteCallbacks);
  EXPECT_EQ(2, g_server.connections);
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_THAT(klog, testing::Not(HasSubstr("attempt 2")));  // a successful connection resets
}

TEST(KLogManager, RequestsGoToTheServerAndFailuresAreLogged) {
  SNL_REQUIRE_ISOLATION();
  SetLogServerConnector(ConnectFake);
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger::ReloadConfig();  // no channel yet: nothing is sent
  dodudo::Initialize();
  ASSERT_TRUE(WaitForKlog("Connecting to log server (attempt 1)"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  KLogger::ReloadConfig();
  KLogManager::GetMe(false)->RequestKConfigReload();
  {
    std::lock_guard<std::mutex> guard(g_server.lock);
    g_server.failSend = true;
  }
  KLogger::ReloadConfig();
  {
    std::lock_guard<std::mutex> guard(g_server.lock);
    g_server.throwOnReceive = true;
    g_server.changed.notify_all();
  }
  ASSERT_TRUE(WaitForKlog(
      "| Unexpected exception in reload config thread, reload disabled [garbled record]\n"));
  dodudo::Finalize();
  using Sent = std::pair<std::string, std::string>;
  EXPECT_THAT(g_server.sent, testing::ElementsAre(Sent("0", "reload"), Sent("0", "config_reload")));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_THAT(klog, HasSubstr("| Could not request \"reload\" [peer gone]\n"));
  EXPECT_THAT(klog, testing::Not(HasSubstr("Leaving reload config thread")));
}

TEST(KLogManager, LastLoggerStopsTheReloadThreadAndEndsLogging) {
  SNL_REQUIRE_ISOLATION();
  {
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    dodudo::Initialize();
    ASSERT_TRUE(WaitForKlog("Connecting to log server (attempt 1)"));
    // The reload thread's start record created the running log's logger, which never ends.
    EXPECT_EQ(3u, KLogManager::GetMe(false)->LoggerCount());
  }
  ASSERT_NE(nullptr, KLogManager::Instance());
  KLogger::Terminate();
  EXPECT_EQ(nullptr, KLogManager::Instance());
  EXPECT_THAT(logtest::ReadFile("/var/log/tolma/klog.log"), HasSubstr("| Thread released\n"));
}

TEST(KLogManager, ManyThreadsCreatingTheFirstLoggersGetOneManager) {
  SNL_REQUIRE_ISOLATION();
  std::vector<std::thread> threads;
  std::vector<KLogManager*> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i, &seen] {
      KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
      seen[i] = KLogManager::Instance();
      log.Notice("thread %d", i);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
  }
  KLogger keep(klogSNL, -1, "SNL", "snl", 0, false);
  for (std::thread& thread : threads) thread.join();
  for (KLogManager* manager : seen) EXPECT_EQ(KLogManager::Instance(), manager);
  EXPECT_EQ(8u, logtest::ReadLines("/var/log/tolma/snl.log").size());
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_EQ(klog.find("Log directory:"), klog.rfind("Log directory:"));
}

}  // namespace
