// The log manager: the reload thread with and without a log server, filters pushed by the
// server, and the end of logging.
#include "DOdudo/KLogManager.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "DOdudo/DOdudo.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogger.h"
#include "LogServerProcess.h"
#include "support/TestIsolation.h"

using logtest::WaitFor;
using testing::HasSubstr;
using KLogManagerTest = snltest::IsolatedTest;

namespace {

bool WaitForKlog(const std::string& text) {
  return WaitFor(
      [&] { return logtest::ReadFile("/var/log/tolma/klog.log").find(text) != std::string::npos; });
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

size_t ReloadThreadsStarted() {
  return Count(logtest::ReadFile("/var/log/tolma/" + logtest::ExeName() + ".running.log"),
               "function ReloadConfigThread");
}

std::atomic<int> g_remoteCallbacks{0};

// The reload link to the log server of the machine (snllogd): it comes late, pushes filters,
// answers the requests, and goes.
TEST_F(KLogManagerTest, ReloadLinkToTheLocalLogServer) {
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger::SetFilterConfigCallback([](bool remote) { g_remoteCallbacks += remote ? 1 : 0; });
  log.Notice("open");
  dodudo::Initialize();
  ASSERT_TRUE(WaitForKlog("| Could not connect to log server, trying againg in 5s ["));
  logtest::LogServerProcess server("[SNL]\nValue=never\n");
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 1; }));
  EXPECT_FALSE(KLogger::IsOptionActive(klogSNL, 1));
  log.Trace("hidden");
  log.Notice("one");        // a filter closes the logs: checkpoints go to those written since
  KLogger::ReloadConfig();  // "reload": the server pushes its filter again
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 2; }));
  log.Notice("two");
  KLogManager::GetMe(false)->RequestKConfigReload();  // "config_reload": a type-1 record back
  server.WriteConfig("[SNL]\nValue=true\n");
  ASSERT_TRUE(WaitFor([] { return g_remoteCallbacks == 3; }));
  log.Trace("shown");
  server.Stop(SIGTERM);
  ASSERT_TRUE(WaitForKlog("| Log server connection"));
  ASSERT_TRUE(WaitForKlog("trying againg in 15s ["));
  auto start = std::chrono::steady_clock::now();
  dodudo::Finalize();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_THAT(
      logtest::LogLines("snl.log"),
      testing::ElementsAre("N|<time>| open", "N|<time>| one",
                           "T|<time>\t\t\t\t ***** CHECKPOINT 1 ***** ", "N|<time>| two",
                           "T|<time>\t\t\t\t ***** CHECKPOINT 2 ***** ", "T|<time>| shown"));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_THAT(klog, HasSubstr("| Connecting to log server (attempt 2)\n"));
  EXPECT_THAT(klog, HasSubstr("| Configuration reload requested by the log server\n"));
}

// Initialize and Finalize may be called from several threads at once: one reload thread at a
// time, and every Finalize returns once it has ended.
TEST_F(KLogManagerTest, ConcurrentInitializeStartsOneReloadThread) {
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  for (int round = 1; round <= 2; ++round) {
    logtest::InThreads(6, [](int) { dodudo::Initialize(); });
    ASSERT_TRUE(WaitFor([&] { return ReloadThreadsStarted() == static_cast<size_t>(round); }));
    auto start = std::chrono::steady_clock::now();
    logtest::InThreads(3, [](int) { dodudo::Finalize(); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(2u, ReloadThreadsStarted());  // one per round, none left over
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_EQ(2u, Count(klog, "| Leaving reload config thread\n"));
  EXPECT_EQ(0u, Count(klog, "leaking"));
}

// Finalize racing the destruction of the last logger while the reload thread waits to retry:
// both leave the one thread (woken from its wait), the manager is deleted once, and neither
// waits for the 50 s limit.
TEST_F(KLogManagerTest, FinalizeRacingTheLastLogger) {
  auto* log = new KLogger(klogSNL, -1, "SNL", "snl", 0, false);
  dodudo::Initialize();
  ASSERT_TRUE(WaitForKlog("| Connecting to log server (attempt 1)\n"));
  ASSERT_TRUE(WaitForKlog("| Could not connect to log server, trying againg in 5s ["));
  EXPECT_EQ(3u, KLogManager::GetMe(false)->LoggerCount());
  KLogger::Terminate();  // the running log's logger never goes: count it out by hand
  auto start = std::chrono::steady_clock::now();
  std::thread finalize([] { dodudo::Finalize(); });
  delete log;
  finalize.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(nullptr, KLogManager::Instance());
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  for (const char* line :
       {"| Waiting reload config thread to exit\n", "| Leaving reload config thread\n",
        "| Signaling reload thread exit\n", "| Thread released\n"}) {
    EXPECT_THAT(klog, HasSubstr(line));
  }
  dodudo::Initialize();  // after the end of logging: nothing, and no crash
  dodudo::Finalize();
  EXPECT_EQ(nullptr, KLogManager::Instance());
  EXPECT_EQ(0u, Count(klog, "leaking"));
  EXPECT_EQ(1u, ReloadThreadsStarted());
}

TEST_F(KLogManagerTest, ManyThreadsCreatingTheFirstLoggersGetOneManager) {
  std::vector<std::thread> threads;
  std::vector<KLogManager*> seen(8);
  std::atomic<int> built{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i, &seen, &built] {
      KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
      seen[i] = KLogManager::Instance();
      log.Notice("thread %d", i);
      // No logger goes before all (the main thread's too) are built: the last one gone would end
      // logging for the rest.
      ++built;
      while (built.load() < 9) std::this_thread::yield();
    });
  }
  KLogger keep(klogSNL, -1, "SNL", "snl", 0, false);
  ++built;
  for (std::thread& thread : threads) thread.join();
  for (KLogManager* manager : seen) EXPECT_EQ(KLogManager::Instance(), manager);
  EXPECT_EQ(8u, logtest::ReadLines("/var/log/tolma/snl.log").size());
  EXPECT_EQ(
      1u, Count(logtest::ReadFile("/var/log/tolma/klog.log"), "| Log directory: /var/log/tolma/"));
}

}  // namespace
