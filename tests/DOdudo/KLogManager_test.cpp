// The log manager: the reload thread with and without a log server, filters pushed by the
// server, and the end of logging.
#include "DOdudo/KLogManager.h"

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
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

// Polls `done` for up to `ms` milliseconds (the reload thread works asynchronously).
template <typename Predicate>
bool WaitFor(Predicate done, int ms = 3000) {
  for (int waited = 0; !done(); waited += 10) {
    if (waited >= ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool WaitForKlog(const std::string& text, int ms = 3000) {
  return WaitFor(
      [&] { return logtest::ReadFile("/var/log/tolma/klog.log").find(text) != std::string::npos; },
      ms);
}

// A log server played by the test: each connection serves the queued records (type, SNL mask,
// or the end of the connection when the type is 0), then blocks until terminated.
std::mutex g_lock;
std::deque<std::pair<uint32_t, unsigned int>> g_records;
std::atomic<int> g_connections{0};

class FakeLink : public KLogServerLink {
 public:
  bool Receive(uint32_t& type, KLogFilter& filter) override {
    for (; !terminated_; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
      std::lock_guard<std::mutex> guard(g_lock);
      if (g_records.empty()) continue;
      std::pair<uint32_t, unsigned int> record = g_records.front();
      g_records.pop_front();
      if (record.first == 0) return false;
      type = record.first;
      filter.OverwriteOption(klogSNL, record.second);
      return true;
    }
    return false;
  }
  void Send(const std::string&, const std::string&) override {}
  void Terminate() override { terminated_ = true; }

 private:
  std::atomic<bool> terminated_{false};
};

void Push(uint32_t type, unsigned int snlMask) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_records.emplace_back(type, snlMask);
}

bool Served() {
  return WaitFor([] {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_records.empty();
  });
}

TEST(KLogManager, ReloadThreadRetriesAndTheLastLoggerStopsIt) {
  SNL_REQUIRE_ISOLATION();
  {
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    dodudo::Initialize();
    ASSERT_TRUE(WaitForKlog("| Connecting to log server (attempt 1)\n"));
    ASSERT_TRUE(
        WaitForKlog("| Could not connect to log server, trying againg in 5s [no socket "
                    "channel in this build]"));
    ASSERT_TRUE(WaitForKlog("| Connecting to log server (attempt 2)\n", 6000));
    EXPECT_EQ(3u, KLogManager::GetMe(false)->LoggerCount());
  }
  ASSERT_NE(nullptr, KLogManager::Instance());
  auto start = std::chrono::steady_clock::now();
  KLogger::Terminate();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(nullptr, KLogManager::Instance());
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  for (const char* line :
       {"| Waiting reload config thread to exit\n", "| Leaving reload config thread\n",
        "| Signaling reload thread exit\n", "| Thread released\n"}) {
    EXPECT_THAT(klog, HasSubstr(line));
  }
}

int g_remoteCallbacks = 0;

TEST(KLogManager, FiltersFromTheServerAndCheckpoints) {
  SNL_REQUIRE_ISOLATION();
  SetLogServerConnector([](uint16_t port) -> KLogServerLink* {
    EXPECT_EQ(14110, port);
    ++g_connections;
    return new FakeLink();
  });
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger other(klogTimer, -1, "TIMER", "timer", 0, false);
  KLogger::SetFilterConfigCallback([](bool remote) { g_remoteCallbacks += remote ? 1 : 0; });
  log.Notice("open");
  other.Notice("open too");
  dodudo::Initialize();
  Push(2, 0);  // the first filter: no checkpoint
  ASSERT_TRUE(Served());
  EXPECT_TRUE(WaitFor([] { return !KLogger::IsOptionActive(klogSNL, 0xFFFFFFFFu); }));
  log.Trace("hidden");
  log.Notice("between");
  Push(2, 0xFFFFFFFFu);
  Push(1, 0);  // configuration reload: nothing to see in the logs
  Push(2, 0xFFFFFFFFu);
  Push(0, 0);  // the server ends the connection: reconnect at once
  ASSERT_TRUE(Served());
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
  EXPECT_EQ(2, g_connections);
  EXPECT_THAT(logtest::ReadFile("/var/log/tolma/klog.log"),
              testing::Not(HasSubstr("attempt 2")));  // a successful connection resets
}

TEST(KLogManager, ManyThreadsCreatingTheFirstLoggersGetOneManager) {
  SNL_REQUIRE_ISOLATION();
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
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_NE(std::string::npos, klog.find("| Log directory: /var/log/tolma/"));
  EXPECT_EQ(klog.find("Log directory:"), klog.rfind("Log directory:"));
}

}  // namespace
