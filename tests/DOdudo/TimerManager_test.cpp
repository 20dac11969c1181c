// The timer manager on its real thread; the wrap of the 32-bit tick in a time namespace.
#include "DOdudo/TimerManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "DOdudo/LogTestSupport.h"
#include "DOdudo/host/KHostSystem.h"
#include "support/TestIsolation.h"

namespace {

using testing::ElementsAre;

// Each firing records the timer's argument (its tag), the time and the tick.
struct Shot {
  std::string tag;
  long long ms;  // since g_start
  unsigned int tick;
};
const auto g_start = std::chrono::steady_clock::now();
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<Shot> g_shots;

long long Now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now() - g_start).count();
}
void Record(void* tag) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_shots.push_back({static_cast<const char*>(tag), Now(), KHostSystem::GetTick()});
  g_changed.notify_all();
}
std::vector<Shot> WaitFor(size_t count, int timeoutMs = 5000) {  // generous for sanitizers
  std::unique_lock<std::mutex> lock(g_mutex);
  g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return g_shots.size() >= count; });
  return g_shots;
}
std::vector<std::string> Tags(size_t count, int timeoutMs = 5000) {
  std::vector<std::string> tags;
  for (const Shot& shot : WaitFor(count, timeoutMs)) tags.push_back(shot.tag);
  return tags;
}
void* Tag(const char* text) { return const_cast<char*>(text); }
TimerManager* Timers() { return TimerManager::instance(); }
std::vector<std::string> TimerLog() {
  return logtest::LogLines(logtest::ExeName() + ".dodudo.log");
}
// Starts the timers so that all of them read one tick (retrying across a tick change).
void StartAtOneTick(std::vector<std::pair<const char*, void (*)(void*)>> timers, unsigned delay) {
  for (std::vector<unsigned int> ids;; ids.clear()) {
    unsigned int t0 = KHostSystem::GetTick();
    for (auto& [tag, callback] : timers)
      ids.push_back(Timers()->startTimer(delay, Tag(tag), callback));
    if (KHostSystem::GetTick() == t0) return;
    for (unsigned int id : ids) Timers()->stopTimer(id);
  }
}

unsigned int g_infinite;

TEST(TimerManagerTest, IdsCancellingAndFiringOrder) {
  SNL_REQUIRE_ISOLATION();
  long long start = Now();
  EXPECT_EQ(Timers()->startTimer(300, Tag("late"), Record), 1u);
  EXPECT_EQ(Timers()->startTimer(60000, Tag("cancelled"), Record), 2u);
  EXPECT_EQ(Timers()->startTimer(0, Tag("no callback"), nullptr), 0u);
  EXPECT_STREQ(static_cast<char*>(Timers()->stopTimer(2)), "cancelled");
  EXPECT_EQ(Timers()->stopTimer(2), nullptr);
  EXPECT_EQ(Timers()->stopTimer(0), nullptr);
  StartAtOneTick({{"same-1", Record}, {"same-2", Record}, {"same-3", Record}}, 50);
  Timers()->startTimer(0, Tag("now"), [](void* tag) {
    Record(tag);
    KHostSystem::Delay(5);  // the thread's last pass is 5 ms old: ~0u must not look overdue
    g_infinite = Timers()->startTimer(~0u, Tag("in 49.7 days"), Record);
  });
  EXPECT_THAT(Tags(5), ElementsAre("now", "same-1", "same-2", "same-3", "late"));
  std::vector<Shot> shots = WaitFor(5);
  ASSERT_EQ(shots.size(), 5u);
  EXPECT_LT(shots[0].ms - start, 1000);
  EXPECT_GE(shots[4].ms - start, 299);         // a millisecond less is the tick's truncation
  EXPECT_EQ(Timers()->stopTimer(1), nullptr);  // fired
  KHostSystem::Delay(100);
  EXPECT_EQ(Tags(5).size(), 5u);
  EXPECT_STREQ(static_cast<char*>(Timers()->stopTimer(g_infinite)), "in 49.7 days");
  EXPECT_THAT(TimerLog(), ElementsAre(testing::MatchesRegex(
                              "N\\|<time>\\|TIMER   \\| TimerManager starting with tick=[0-9]+")));
}

// Callbacks run outside the lock and may use the manager; one that throws is logged and the
// timers after it still fire.
unsigned int g_victim;
void* g_returned;
void Throw(void* tag) {
  Record(tag);
  throw std::runtime_error(static_cast<const char*>(tag));
}
void ThrowInt(void* tag) {
  Record(tag);
  throw 7;
}
void Chain(void* tag) {
  Record(tag);
  g_returned = Timers()->stopTimer(g_victim);
  Timers()->startTimer(0, Tag("chained"), Record);
}

TEST(TimerManagerTest, CallbacksMayUseTheManagerAndMayThrow) {
  SNL_REQUIRE_ISOLATION();
  g_victim = Timers()->startTimer(400, Tag("victim"), Record);
  StartAtOneTick({{"x", Throw}, {"int", ThrowInt}, {"chain", Chain}}, 30);
  EXPECT_THAT(Tags(4), ElementsAre("x", "int", "chain", "chained"));
  EXPECT_STREQ(static_cast<char*>(g_returned), "victim");
  std::vector<std::string> log = TimerLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "E|<time>|TIMER   | TimerManager callback exception: x");
  EXPECT_EQ(log[2], "E|<time>|TIMER   | TimerManager callback unknown error.");
}

TEST(TimerManagerTest, StopIsFinalAndDropsPendingTimers) {
  SNL_REQUIRE_ISOLATION();
  EXPECT_FALSE(TimerManager::stop());  // never started
  std::vector<TimerManager*> seen(4);  // concurrent first calls share one instance
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = TimerManager::instance(); });
  for (auto& thread : threads) thread.join();
  EXPECT_THAT(seen, testing::Each(seen[0]));
  Timers()->startTimer(60000, Tag("pending-1"), Record);
  unsigned int id = Timers()->startTimer(60000, Tag("pending-2"), Record);
  EXPECT_TRUE(TimerManager::stop());
  EXPECT_FALSE(TimerManager::stop());
  EXPECT_EQ(Timers()->startTimer(0, Tag("refused"), Record), 0u);
  EXPECT_EQ(Timers()->stopTimer(id), nullptr);
  EXPECT_TRUE(TimerManager::start());  // never restarts the service
  TimerManager::destroy();
  EXPECT_EQ(Timers()->startTimer(0, Tag("refused"), Record), 0u);
  EXPECT_EQ(TimerLog().back(), "N|<time>|TIMER   | Timer manager stopped with 2 timers.");
}

TEST(TimerManagerTest, StopGivesUpAfterOneSecondWhileACallbackRuns) {
  SNL_REQUIRE_ISOLATION();
  Timers()->startTimer(0, Tag("slow"), [](void* tag) {
    Record(tag);
    KHostSystem::Delay(1600);
    Record(tag);
  });
  WaitFor(1);
  long long start = Now();
  EXPECT_FALSE(TimerManager::stop());
  EXPECT_GE(Now() - start, 990);
  EXPECT_LT(Now() - start, 1550);
  EXPECT_EQ(Timers()->startTimer(0, Tag("refused"), Record), 0u);
  EXPECT_EQ(WaitFor(2).size(), 2u);
}

// The test re-runs itself in a time namespace whose monotonic clock makes the 32-bit millisecond
// tick wrap three to four seconds after the child starts.
const char* const kWrapChild = "SNL_TIMER_WRAP_CHILD";
unsigned int UntilWrap() { return 0u - KHostSystem::GetTick(); }
void WaitForWrap() {
  while (UntilWrap() < 5000) KHostSystem::Delay(1);
}
// Holds the timer thread across the wrap, so that its next pass meets cells of both epochs.
void BlockAcrossWrap(void* tag) {
  Record(tag);
  WaitForWrap();
  KHostSystem::Delay(150);
}

void RunAcrossTheWrap() {
  unsigned int left = UntilWrap();
  ASSERT_GT(left, 1500u) << "the tick is not about to wrap: " << KHostSystem::GetTick();
  ASSERT_LT(left, 5000u);
  long long start = Now();
  Timers()->startTimer(left + 1000, Tag("beyond"), Record);  // due tick small: must wait
  Timers()->startTimer(left - 300, Tag("block"), BlockAcrossWrap);
  Timers()->startTimer(left - 20, Tag("before"), Record);  // old epoch, overdue after the wrap
  while (UntilWrap() > 100) KHostSystem::Delay(1);
  long long shortly = Now();
  Timers()->startTimer(200, Tag("shortly"), Record);  // 100 ms before the wrap, due after it
  WaitForWrap();
  long long after = Now();
  Timers()->startTimer(300, Tag("after"), Record);
  Timers()->startTimer(0, Tag("after-zero"), Record);
  // The held thread's first pass after the wrap: the old epoch's "before" first, then the new
  // epoch's cells by due tick.
  EXPECT_THAT(Tags(6, 10000),
              ElementsAre("block", "before", "after-zero", "shortly", "after", "beyond"));
  std::vector<Shot> shots = WaitFor(6);
  ASSERT_EQ(shots.size(), 6u);
  EXPECT_LT(shots[2].ms - after, 1000);
  EXPECT_GE(shots[3].ms - shortly, 199);
  EXPECT_LT(shots[3].tick, 1000u);
  EXPECT_GE(shots[4].ms - after, 299);
  EXPECT_GE(shots[5].ms - start, static_cast<long long>(left) + 999);
  EXPECT_LT(shots[5].ms - start, static_cast<long long>(left) + 3000);
  EXPECT_THAT(TimerLog(), testing::Contains(testing::MatchesRegex(
                              "I\\|<time>\\|TIMER   \\| TimerManager flag inversion\\. "
                              "now\\([0-9]+\\) < last\\(42949[0-9]+\\)\\.")));
}

TEST(TimerManagerWrap, TimersCarryAcrossTheWrapOfTheTick) {
  SNL_REQUIRE_ISOLATION();
  if (getenv(kWrapChild) != nullptr) return RunAcrossTheWrap();
  if (access("/proc/self/ns/time", F_OK) != 0) GTEST_SKIP() << "no time namespaces";
  constexpr double kWrapSeconds = 4294967.296;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  double base = std::fmod(now.tv_sec + now.tv_nsec / 1e9, kWrapSeconds);
  long long offset = static_cast<long long>(std::floor(kWrapSeconds - base)) - 3;
  if (offset < 0) offset += static_cast<long long>(kWrapSeconds);
  std::string command = std::string(kWrapChild) + "=1 unshare --fork --time --monotonic " +
                        std::to_string(offset) + " /proc/" + std::to_string(getpid()) +
                        "/exe --gtest_filter=TimerManagerWrap.*";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

}  // namespace
