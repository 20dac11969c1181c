// The timer manager on its real thread: ids and cancelling, firing order, callbacks that throw or
// use the manager, stopping, and the wrap of the 32-bit tick (in a time namespace of its own).
#include "DOdudo/TimerManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LogTestSupport.h"
#include "DOdudo/host/KHostSystem.h"
#include "support/TestIsolation.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing::ElementsAre;

long long Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// A timer's argument is its tag; the callbacks record tag, real time and tick of each firing.
struct Shot {
  std::string tag;
  Clock::time_point when;
  unsigned int tick;
};
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<Shot> g_shots;

void Record(void* tag) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_shots.push_back({static_cast<const char*>(tag), Clock::now(), KHostSystem::GetTick()});
  g_changed.notify_all();
}
// Waits (generously: sanitizer builds are slow) until count timers have fired.
std::vector<Shot> WaitFor(size_t count, int timeoutMs = 5000) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return g_shots.size() >= count; });
  return g_shots;
}
std::vector<std::string> Tags(size_t count) {
  std::vector<std::string> tags;
  for (const Shot& shot : WaitFor(count)) tags.push_back(shot.tag);
  return tags;
}
void* Tag(const char* text) { return const_cast<char*>(text); }

TimerManager* Timers() { return TimerManager::instance(); }
std::vector<std::string> TimerLog() {
  return logtest::LogLines(logtest::ExeName() + ".dodudo.log");
}
// Starts the timers so that all of them read the same tick (retrying across a tick change).
void StartAtOneTick(const std::vector<std::pair<const char*, void (*)(void*)>>& timers,
                    unsigned int delay) {
  for (std::vector<unsigned int> ids;; ids.clear()) {
    unsigned int t0 = KHostSystem::GetTick();
    for (const auto& timer : timers)
      ids.push_back(Timers()->startTimer(delay, Tag(timer.first), timer.second));
    if (KHostSystem::GetTick() == t0) return;
    for (unsigned int id : ids) Timers()->stopTimer(id);
  }
}

TEST(TimerManagerTest, IdsCountFromOneAndCancellingReturnsTheArgumentOnce) {
  SNL_REQUIRE_ISOLATION();
  EXPECT_EQ(Timers()->startTimer(60000, Tag("first"), Record), 1u);
  EXPECT_EQ(Timers()->startTimer(60000, Tag("second"), Record), 2u);
  EXPECT_EQ(Timers()->startTimer(0, Tag("no callback"), nullptr), TimerManager::INVALID_TIMER_ID);
  EXPECT_STREQ(static_cast<char*>(Timers()->stopTimer(1)), "first");
  EXPECT_EQ(Timers()->stopTimer(1), nullptr);
  EXPECT_EQ(Timers()->stopTimer(0), nullptr);

  unsigned int fired = Timers()->startTimer(0, Tag("fired"), Record);
  EXPECT_EQ(fired, 3u);
  EXPECT_NE(Timers()->stopTimer(Timers()->startTimer(100, Tag("cancelled"), Record)), nullptr);
  EXPECT_THAT(Tags(1), ElementsAre("fired"));
  EXPECT_EQ(Timers()->stopTimer(fired), nullptr);
  KHostSystem::Delay(300);
  EXPECT_THAT(Tags(1), ElementsAre("fired"));
  EXPECT_THAT(TimerLog(), ElementsAre(testing::MatchesRegex(
                              "N\\|<time>\\|TIMER   \\| TimerManager starting with tick=[0-9]+")));
}

TEST(TimerManagerTest, TimersFireByDueTickThenInStartOrder) {
  SNL_REQUIRE_ISOLATION();
  Clock::time_point start = Clock::now();
  Timers()->startTimer(300, Tag("late"), Record);
  Timers()->startTimer(150, Tag("middle"), Record);
  StartAtOneTick({{"same-1", Record}, {"same-2", Record}, {"same-3", Record}}, 50);
  Timers()->startTimer(0, Tag("now"), Record);
  std::vector<Shot> shots = WaitFor(6);
  ASSERT_EQ(shots.size(), 6u);
  std::vector<std::string> tags;
  for (const auto& shot : shots) tags.push_back(shot.tag);
  EXPECT_THAT(tags, ElementsAre("now", "same-1", "same-2", "same-3", "middle", "late"));
  // Resolution is the 25 ms period; a millisecond less is the tick's truncation.
  EXPECT_LT(Ms(start, shots[0].when), 1000);
  EXPECT_GE(Ms(start, shots[4].when), 149);
  EXPECT_GE(Ms(start, shots[5].when), 299);
  EXPECT_LT(Ms(start, shots[5].when), 300 + 1000);
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
  KHostSystem::Delay(500);
  EXPECT_EQ(Tags(4).size(), 4u);
  std::vector<std::string> log = TimerLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "E|<time>|TIMER   | TimerManager callback exception: x");
  EXPECT_EQ(log[2], "E|<time>|TIMER   | TimerManager callback unknown error.");
}

TEST(TimerManagerTest, StopIsFinalAndDropsPendingTimers) {
  SNL_REQUIRE_ISOLATION();
  EXPECT_FALSE(TimerManager::stop());  // never started
  // Concurrent first calls share one instance.
  std::vector<TimerManager*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = TimerManager::instance(); });
  for (auto& thread : threads) thread.join();
  EXPECT_THAT(seen, testing::Each(seen[0]));

  Timers()->startTimer(60000, Tag("pending-1"), Record);
  unsigned int id = Timers()->startTimer(60000, Tag("pending-2"), Record);
  EXPECT_TRUE(TimerManager::stop());
  EXPECT_FALSE(TimerManager::stop());
  EXPECT_EQ(Timers()->startTimer(0, Tag("refused"), Record), TimerManager::INVALID_TIMER_ID);
  EXPECT_EQ(Timers()->stopTimer(id), nullptr);
  EXPECT_TRUE(TimerManager::start());  // never restarts the service
  TimerManager::destroy();
  EXPECT_EQ(Timers()->startTimer(0, Tag("refused"), Record), TimerManager::INVALID_TIMER_ID);
  EXPECT_EQ(TimerLog().back(), "N|<time>|TIMER   | Timer manager stopped with 2 timers.");
}

// A callback outlasts the 1000 ms bound: stop reports false and the service stays shut.
TEST(TimerManagerTest, StopGivesUpAfterOneSecondWhileACallbackRuns) {
  SNL_REQUIRE_ISOLATION();
  Timers()->startTimer(0, Tag("slow"), [](void* tag) {
    Record(tag);
    KHostSystem::Delay(1600);
    Record(tag);
  });
  WaitFor(1);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(TimerManager::stop());
  EXPECT_GE(Ms(start, Clock::now()), 990);
  EXPECT_LT(Ms(start, Clock::now()), 1550);
  EXPECT_EQ(Timers()->startTimer(0, Tag("refused"), Record), TimerManager::INVALID_TIMER_ID);
  EXPECT_EQ(WaitFor(2).size(), 2u);
}

// ---- The wrap of the tick ---------------------------------------------------------------------
// The test re-runs itself inside a time namespace whose monotonic clock is offset so that the
// 32-bit millisecond tick wraps three to four seconds after the child starts.

const char* const kWrapChild = "SNL_TIMER_WRAP_CHILD";

unsigned int UntilWrap() { return 0u - KHostSystem::GetTick(); }
void WaitForWrap() {
  while (UntilWrap() < 5000) KHostSystem::Delay(1);
}

// Holds the timer thread until after the wrap, so that its next pass meets cells of the epoch
// just ended beside cells of the new one.
void BlockAcrossWrap(void* tag) {
  Record(tag);
  WaitForWrap();
  KHostSystem::Delay(150);
}

void RunAcrossTheWrap() {
  unsigned int left = UntilWrap();
  ASSERT_GT(left, 1500u) << "the tick is not about to wrap: " << KHostSystem::GetTick();
  ASSERT_LT(left, 5000u);
  Clock::time_point start = Clock::now();
  Timers()->startTimer(left + 1000, Tag("beyond"), Record);  // due tick small: must wait
  Timers()->startTimer(left - 300, Tag("block"), BlockAcrossWrap);
  Timers()->startTimer(left - 20, Tag("before"), Record);  // old epoch, overdue after the wrap
  while (UntilWrap() > 100) KHostSystem::Delay(1);
  Clock::time_point shortlyStart = Clock::now();
  Timers()->startTimer(200, Tag("shortly"), Record);  // 100 ms before the wrap, due after it
  WaitForWrap();
  Clock::time_point afterStart = Clock::now();
  Timers()->startTimer(300, Tag("after"), Record);
  Timers()->startTimer(0, Tag("after-zero"), Record);

  std::vector<Shot> shots = WaitFor(6, 10000);
  std::vector<std::string> tags;
  for (const auto& shot : shots) tags.push_back(shot.tag);
  // The first pass of the held thread after the wrap finds "before" (left from the old epoch,
  // so first), then "after-zero" and "shortly" (new epoch, by due tick).
  EXPECT_THAT(tags, ElementsAre("block", "before", "after-zero", "shortly", "after", "beyond"));
  ASSERT_EQ(shots.size(), 6u);
  EXPECT_LT(Ms(afterStart, shots[2].when), 1000);
  EXPECT_GE(Ms(shortlyStart, shots[3].when), 199);
  EXPECT_LT(shots[3].tick, 1000u);
  EXPECT_GE(Ms(afterStart, shots[4].when), 299);
  EXPECT_GE(Ms(start, shots[5].when), static_cast<long long>(left) + 999);
  EXPECT_LT(Ms(start, shots[5].when), static_cast<long long>(left) + 3000);
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
  ASSERT_TRUE(WIFEXITED(status)) << command;
  EXPECT_EQ(WEXITSTATUS(status), 0) << command;
}

}  // namespace
