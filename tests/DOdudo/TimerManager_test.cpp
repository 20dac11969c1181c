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
#include <cstdlib>
#include <ctime>
#include <memory>
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
using testing::HasSubstr;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What the callbacks saw: each fired timer's tag (its argument) and the real time it fired at.
class Recorder {
 public:
  struct Shot {
    std::string tag;
    Clock::time_point when;
    unsigned int tick;
  };

  void Add(const std::string& tag) {
    std::lock_guard<std::mutex> guard(mutex_);
    shots_.push_back({tag, Clock::now(), KHostSystem::GetTick()});
    changed_.notify_all();
  }
  // Waits (generously: sanitizer builds are slow) until count shots have been seen.
  std::vector<Shot> WaitFor(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return shots_.size() >= count; });
    return shots_;
  }
  std::vector<std::string> Tags(size_t count) {
    std::vector<std::string> tags;
    for (const Shot& shot : WaitFor(count)) tags.push_back(shot.tag);
    return tags;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Shot> shots_;
};

Recorder* g_recorder = nullptr;

// A timer argument: the tag recorded when the timer fires.
struct Tag {
  std::string text;
};
void Record(void* argument) { g_recorder->Add(static_cast<Tag*>(argument)->text); }

class TimerManagerTest : public ::testing::Test {
 public:
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    g_recorder = &recorder_;
    timers_ = TimerManager::instance();
  }
  Tag* NewTag(const std::string& text) {
    tags_.push_back(std::make_unique<Tag>(Tag{text}));
    return tags_.back().get();
  }
  unsigned int Start(unsigned int delayMs, const std::string& tag,
                     void (*callback)(void*) = Record) {
    return timers_->startTimer(delayMs, NewTag(tag), callback);
  }
  std::vector<std::string> TimerLog() {
    return logtest::LogLines(logtest::ExeName() + ".dodudo.log");
  }

  Recorder recorder_;
  TimerManager* timers_ = nullptr;
  std::vector<std::unique_ptr<Tag>> tags_;
};

TEST_F(TimerManagerTest, IdsCountFromOneAndCancellingReturnsTheArgumentOnce) {
  Tag first{"first"};
  EXPECT_EQ(timers_->startTimer(60000, &first, Record), 1u);
  EXPECT_EQ(Start(60000, "second"), 2u);
  EXPECT_EQ(Start(60000, "third"), 3u);
  EXPECT_EQ(timers_->startTimer(0, &first, nullptr), TimerManager::INVALID_TIMER_ID);

  EXPECT_EQ(timers_->stopTimer(1), &first);
  EXPECT_EQ(timers_->stopTimer(1), nullptr);
  EXPECT_EQ(timers_->stopTimer(0), nullptr);
  EXPECT_EQ(timers_->stopTimer(99), nullptr);

  // A timer that has fired can no longer be cancelled; a cancelled one never fires.
  unsigned int fired = Start(0, "fired");
  unsigned int cancelled = Start(100, "cancelled");
  EXPECT_NE(timers_->stopTimer(cancelled), nullptr);
  EXPECT_THAT(recorder_.Tags(1), ElementsAre("fired"));
  EXPECT_EQ(timers_->stopTimer(fired), nullptr);
  KHostSystem::Delay(300);
  EXPECT_THAT(recorder_.Tags(1), ElementsAre("fired"));
  EXPECT_THAT(TimerLog(), ElementsAre(testing::StartsWith("N|<time>|TIMER   | TimerManager "
                                                          "starting with tick=")));
}

TEST_F(TimerManagerTest, TimersFireByDueTickThenInStartOrder) {
  Clock::time_point start = Clock::now();
  Start(300, "late");
  Start(150, "middle");
  // Timers due at the same tick: the tick is read inside startTimer, between t0 and t1.
  for (;;) {
    unsigned int t0 = KHostSystem::GetTick();
    std::vector<unsigned int> ids;
    for (const char* tag : {"same-1", "same-2", "same-3", "same-4"}) ids.push_back(Start(50, tag));
    if (KHostSystem::GetTick() == t0) break;
    for (unsigned int id : ids) timers_->stopTimer(id);
  }
  Start(0, "now");

  std::vector<Recorder::Shot> shots = recorder_.WaitFor(7);
  std::vector<std::string> tags;
  for (const auto& shot : shots) tags.push_back(shot.tag);
  EXPECT_THAT(tags, ElementsAre("now", "same-1", "same-2", "same-3", "same-4", "middle", "late"));
  ASSERT_EQ(shots.size(), 7u);
  // Resolution is the 25 ms period; a millisecond less is the tick's truncation.
  auto at = [&](size_t i) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(shots[i].when - start).count();
  };
  EXPECT_LT(at(0), 1000);
  EXPECT_GE(at(5), 149);
  EXPECT_GE(at(6), 299);
  EXPECT_LT(at(6), 300 + 1000);
}

// Callbacks run outside the lock: they may start and cancel timers, even their own kind.
TEST_F(TimerManagerTest, CallbacksMayStartAndStopTimers) {
  static unsigned int victim;
  static void* returned;
  static TimerManagerTest* self;
  self = this;
  victim = Start(400, "victim");
  Start(50, "chain", [](void* argument) {
    Record(argument);
    returned = TimerManager::instance()->stopTimer(victim);
    self->Start(0, "chained");
  });
  EXPECT_THAT(recorder_.Tags(2), ElementsAre("chain", "chained"));
  EXPECT_EQ(static_cast<Tag*>(returned)->text, "victim");
  KHostSystem::Delay(600);
  EXPECT_THAT(recorder_.Tags(2), ElementsAre("chain", "chained"));
}

TEST_F(TimerManagerTest, AThrowingCallbackIsLoggedAndTheOthersStillFire) {
  for (;;) {
    unsigned int t0 = KHostSystem::GetTick();
    std::vector<unsigned int> ids{
        Start(30, "x",
              [](void* argument) {
                Record(argument);
                throw std::runtime_error(static_cast<Tag*>(argument)->text);
              }),
        Start(30, "int",
              [](void* argument) {
                Record(argument);
                throw 7;
              }),
        Start(30, "after")};
    if (KHostSystem::GetTick() == t0) break;
    for (unsigned int id : ids) timers_->stopTimer(id);
  }
  EXPECT_THAT(recorder_.Tags(3), ElementsAre("x", "int", "after"));
  Start(0, "later");
  EXPECT_THAT(recorder_.Tags(4), ElementsAre("x", "int", "after", "later"));
  std::vector<std::string> log = TimerLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], "E|<time>|TIMER   | TimerManager callback exception: x");
  EXPECT_EQ(log[2], "E|<time>|TIMER   | TimerManager callback unknown error.");
}

TEST_F(TimerManagerTest, StopIsFinalAndDropsPendingTimers) {
  Start(60000, "pending-1");
  unsigned int id = Start(60000, "pending-2");
  EXPECT_TRUE(TimerManager::stop());
  EXPECT_FALSE(TimerManager::stop());
  EXPECT_EQ(Start(0, "refused"), TimerManager::INVALID_TIMER_ID);
  EXPECT_EQ(timers_->stopTimer(id), nullptr);
  // start() neither restarts the service nor a thread.
  EXPECT_TRUE(TimerManager::start());
  EXPECT_EQ(Start(0, "refused"), TimerManager::INVALID_TIMER_ID);
  TimerManager::destroy();
  EXPECT_EQ(TimerManager::instance()->startTimer(0, nullptr, Record),
            TimerManager::INVALID_TIMER_ID);
  EXPECT_EQ(TimerLog().back(), "N|<time>|TIMER   | Timer manager stopped with 2 timers.");
}

// A callback that outlasts the 1000 ms bound: stop reports false and the service stays shut.
TEST_F(TimerManagerTest, StopGivesUpAfterOneSecondWhileACallbackRuns) {
  Start(0, "slow", [](void* argument) {
    Record(argument);
    KHostSystem::Delay(1600);
    Record(argument);
  });
  recorder_.WaitFor(1);
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(TimerManager::stop());
  long long took = MsSince(start);
  EXPECT_GE(took, 990);
  EXPECT_LT(took, 1550);
  EXPECT_EQ(Start(0, "refused"), TimerManager::INVALID_TIMER_ID);
  EXPECT_FALSE(TimerManager::stop());
  EXPECT_EQ(recorder_.WaitFor(2).size(), 2u);
}

TEST(TimerManagerLifecycle, StopBeforeStartIsRefusedAndFirstCallsShareOneInstance) {
  SNL_REQUIRE_ISOLATION();
  EXPECT_FALSE(TimerManager::stop());
  std::vector<TimerManager*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = TimerManager::instance(); });
  for (auto& thread : threads) thread.join();
  EXPECT_NE(seen[0], nullptr);
  EXPECT_THAT(seen, testing::Each(seen[0]));
  EXPECT_TRUE(TimerManager::stop());
}

// ---- The wrap of the tick -------------------------------------------------------------------
//
// The test re-runs itself inside a time namespace whose monotonic clock is offset so that the
// 32-bit millisecond tick wraps three to four seconds after the child starts.

constexpr double kWrapSeconds = 4294967.296;
const char* const kWrapChild = "SNL_TIMER_WRAP_CHILD";

// Milliseconds until the tick wraps.
unsigned int UntilWrap() { return 0u - KHostSystem::GetTick(); }

void BlockAcrossWrap(void* argument) {
  Record(argument);
  // Keep the timer thread busy until well after the wrap, so that its next pass meets cells of
  // the epoch just ended beside cells of the new one.
  while (UntilWrap() < 5000) KHostSystem::Delay(5);
  KHostSystem::Delay(150);
}

void RunAcrossTheWrap() {
  Recorder recorder;
  g_recorder = &recorder;
  TimerManager* timers = TimerManager::instance();
  unsigned int left = UntilWrap();
  ASSERT_GT(left, 1500u) << "the tick is not about to wrap: " << KHostSystem::GetTick();
  ASSERT_LT(left, 5000u);
  Tag beyond{"beyond"}, block{"block"}, before{"before"}, shortly{"shortly"}, after{"after"},
      afterZero{"after-zero"};
  Clock::time_point start = Clock::now();
  // Due 1000 ms after the wrap: its due tick is small, and it must not fire before its time.
  timers->startTimer(left + 1000, &beyond, Record);
  // Due in the last milliseconds of the old epoch, while the thread is held across the wrap.
  timers->startTimer(left - 300, &block, BlockAcrossWrap);
  timers->startTimer(left - 20, &before, Record);

  // 100 ms before the wrap, a 200 ms timer: due beyond the wrap, it fires about 200 ms later.
  while (UntilWrap() > 100) KHostSystem::Delay(1);
  Clock::time_point shortlyStart = Clock::now();
  timers->startTimer(200, &shortly, Record);

  while (UntilWrap() < 5000) KHostSystem::Delay(1);
  Clock::time_point afterStart = Clock::now();
  timers->startTimer(300, &after, Record);
  timers->startTimer(0, &afterZero, Record);

  std::vector<Recorder::Shot> shots = recorder.WaitFor(6, 10000);
  std::vector<std::string> tags;
  for (const auto& shot : shots) tags.push_back(shot.tag);
  // The first pass of the held thread after the wrap finds "before" (left over from the old
  // epoch, so first), then "after-zero" and "shortly" (new epoch, by due tick); "after" and
  // "beyond" wait for their time.
  EXPECT_THAT(tags, ElementsAre("block", "before", "after-zero", "shortly", "after", "beyond"));
  ASSERT_EQ(shots.size(), 6u);
  auto after_ms = [](const Recorder::Shot& shot, Clock::time_point from) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(shot.when - from).count();
  };
  EXPECT_LT(after_ms(shots[2], afterStart), 1000);
  EXPECT_GE(after_ms(shots[3], shortlyStart), 199);
  EXPECT_LT(shots[3].tick, 1000u);  // after the wrap, not at once
  EXPECT_GE(after_ms(shots[4], afterStart), 299);
  EXPECT_GE(after_ms(shots[5], start), static_cast<long long>(left) + 999);
  EXPECT_LT(after_ms(shots[5], start), static_cast<long long>(left) + 3000);

  std::vector<std::string> log = logtest::LogLines(logtest::ExeName() + ".dodudo.log");
  EXPECT_THAT(log, testing::Contains(testing::MatchesRegex(
                       "I\\|<time>\\|TIMER   \\| TimerManager flag inversion\\. "
                       "now\\([0-9]+\\) < last\\(42949[0-9]+\\)\\.")));
  g_recorder = nullptr;
}

TEST(TimerManagerWrap, TimersCarryAcrossTheWrapOfTheTick) {
  SNL_REQUIRE_ISOLATION();
  if (getenv(kWrapChild) != nullptr) return RunAcrossTheWrap();

  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  double seconds = now.tv_sec + now.tv_nsec / 1e9;
  double base = std::fmod(seconds, kWrapSeconds);
  long long offset = static_cast<long long>(std::floor(kWrapSeconds - base)) - 3;
  if (offset < 0) offset += static_cast<long long>(kWrapSeconds);
  std::string command = std::string(kWrapChild) + "=1 unshare --fork --time --monotonic " +
                        std::to_string(offset) + " /proc/" + std::to_string(getpid()) +
                        "/exe --gtest_filter=TimerManagerWrap.TimersCarryAcrossTheWrapOfTheTick";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << command;
  EXPECT_EQ(WEXITSTATUS(status), 0) << command;
}

}  // namespace
