// Object threads: start and stop protocol, what Starter reports, Join, scheduler choice and the
// priority levels.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>

#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KPriority.h"
#include "DOdudo/host/KSemaphore.h"
#include "DOdudo/host/KThread.h"
#include "HostTestSupport.h"

namespace {

constexpr unsigned int kForever = 0xFFFFFFFFu;

class ReturningThread : public dodudo::KThread {
 public:
  void Execute() override { ran = true; }
  std::atomic<bool> ran{false};
};

class ThrowingThread : public dodudo::KThread {
 public:
  void Execute() override { throw std::runtime_error("boom"); }
};

class ThrowingIntThread : public dodudo::KThread {
 public:
  void Execute() override { throw 42; }
};

class ExitingThread : public dodudo::KThread {
 public:
  void Execute() override { Exit(); }
};

// Runs until asked to stop.
class LoopingThread : public dodudo::KThread {
 public:
  void Execute() override {
    while (!StopRequested()) KHostSystem::Delay(5);
  }
};

void WaitTerminated(dodudo::KThread& thread) {
  while (!thread.IsTerminated()) KHostSystem::Delay(2);
}

TEST(KThreadStarter, ReportsStartAndStopAndSetsFlags) {
  RunningLogCapture log;
  ReturningThread thread;
  ASSERT_NE(nullptr, thread.Start());
  WaitTerminated(thread);
  EXPECT_TRUE(thread.ran && thread.IsRunning() && !thread.IsStarting() && thread.StopRequested());
  const std::string type = typeid(ReturningThread).name();
  EXPECT_TRUE(log.Contains("N|Thread started: " + type));
  EXPECT_TRUE(log.Contains("N|Thread stopped: " + type));
  // Already terminated: false with the Trace line, at once.
  EXPECT_FALSE(thread.Join(kForever));
}

TEST(KThreadStarter, ThrowingBodyGivesOneErrorLine) {
  RunningLogCapture log;
  ThrowingThread thread;
  thread.Start();
  WaitTerminated(thread);
  const std::string type = typeid(ThrowingThread).name();
  EXPECT_TRUE(log.Contains("E|Thread " + type + " stopped due to unhandled exception boom"));
  EXPECT_FALSE(log.Contains("N|Thread stopped: " + type));

  ThrowingIntThread other;
  other.Start();
  WaitTerminated(other);
  EXPECT_TRUE(log.Contains("E|Thread " + std::string(typeid(ThrowingIntThread).name()) +
                           " stopped due to unknown unhandled exception"));
}

TEST(KThreadStarter, ExitInsideBodyStillMarksTermination) {
  RunningLogCapture log;
  ExitingThread thread;
  thread.Start();
  WaitTerminated(thread);
  EXPECT_TRUE(thread.StopRequested());
}

TEST(KThreadJoin, NeverStartedGivesFalseAtOnce) {
  RunningLogCapture log;
  LoopingThread thread;
  unsigned int start = KHostSystem::GetTick();
  EXPECT_FALSE(thread.Join(5000));
  EXPECT_LT(KHostSystem::GetTick() - start, 50u);
  EXPECT_TRUE(log.Contains("T|Unable to join          0, thread already terminated"));
}

TEST(KThreadJoin, BodyThatNeverReturnsTimesOut) {
  RunningLogCapture log;
  LoopingThread thread;
  thread.Start();
  unsigned int start = KHostSystem::GetTick();
  EXPECT_FALSE(thread.Join(250));
  EXPECT_GE(KHostSystem::GetTick() - start, 250u);
  EXPECT_FALSE(thread.IsTerminated());
  thread.RequestStop();
  WaitTerminated(thread);
}

void* ReleaseRoutine(void* s) {
  static_cast<dodudo::KSemaphore*>(s)->Release();
  return nullptr;
}

const char* const kNeedRoot =
    "W|Unable to start thread using scheduler %d -- need to be running as root to change "
    "scheduler, creating with default scheduler";

std::string Line(const char* format, int value) {
  char text[512];
  snprintf(text, sizeof text, format, value);
  return text;
}

TEST(KThreadStart, UnprivilegedSchedulerRequestWarnsAndStillStarts) {
  RunningLogCapture log;
  dodudo::KSemaphore ran(2);
  AsUnprivileged([&] {
    void* handle = dodudo::KThread::StartThread(&ReleaseRoutine, &ran, 0, false, false, 3);
    EXPECT_NE(nullptr, handle);
    dodudo::KThread::CloseThreadHandle(handle);
    // The root test comes first, even for an invalid scheduler. A released handle: still runs.
    EXPECT_EQ(nullptr, dodudo::KThread::StartThread(&ReleaseRoutine, &ran, 0, false, true, 9));
  });
  EXPECT_TRUE(ran.Wait(5000) && ran.Wait(5000));
  EXPECT_TRUE(log.Contains(Line(kNeedRoot, 3)));
  EXPECT_TRUE(log.Contains(Line(kNeedRoot, 9)));
}

TEST(KThreadStart, RootSchedulerRequestsAreHonouredOrRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  RunningLogCapture log;
  dodudo::KSemaphore ran(2);
  dodudo::KThread::StartThread(&ReleaseRoutine, &ran, 0, false, true, 9);
  // FIFO may still be refused (no scheduling capability): the thread then starts all the same.
  dodudo::KThread::StartThread(&ReleaseRoutine, &ran, 0, false, true, 1);
  EXPECT_TRUE(ran.Wait(5000) && ran.Wait(5000));
  EXPECT_TRUE(log.Contains(Line(
      "W|Invalid thread scheduler %d, refusing to set thread scheduler and creating with default "
      "scheduler",
      9)));
  EXPECT_EQ(1u, log.Lines().size());
}

TEST(KThreadPriority, LevelMappingBothWays) {
  using namespace dodudo::priority;
  const int expected[] = {19, 24, 33, 49, 66, 99};
  for (int level = 0; level <= 5; ++level) {
    EXPECT_EQ(expected[level], PriorityForLevel(level, 99, 50)) << level;
    EXPECT_EQ(level, ThreadLevelForPriority(expected[level], 99)) << level;
  }
  EXPECT_EQ(50, PriorityForLevel(6, 99, 50));
  EXPECT_EQ(1, HostLevelForPriority(19, 99));  // the host reading has no level 0
  EXPECT_EQ(1, ThreadLevelForPriority(30, 99));  // below 33, not below 24
  EXPECT_EQ(5, HostLevelForPriority(0, 0));      // a policy without priorities
}

TEST(KThreadPriority, FifoThreadLevels) {
  RunningLogCapture log;
  std::thread([] {
    sched_param param{};
    param.sched_priority = 30;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
      GTEST_SKIP() << "FIFO scheduling not permitted here";
    }
    ASSERT_EQ(99, sched_get_priority_max(SCHED_FIFO));
    EXPECT_EQ(1, dodudo::KThread::GetPriority(nullptr));
    void* self = KHostSystem::ThreadSelf();
    KHostSystem::ThreadSetPriority(self, 4, 0);
    KHostSystem::ThreadSetPriority(self, 9, 0);  // out of range: re-applies the current one
    int policy = 0;
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_EQ(SCHED_FIFO, policy);
    EXPECT_EQ(66, param.sched_priority);
    EXPECT_EQ(4, KHostSystem::ThreadGetPriority(self));
    KHostSystem::ThreadSetPriority(0);
    EXPECT_EQ(1, KHostSystem::ThreadGetPriority());
    EXPECT_EQ(0, dodudo::KThread::GetPriority(nullptr));
    char expected[64];
    snprintf(expected, sizeof expected, "N|Thread %10u priority changed 30 -> 4",
             static_cast<unsigned int>(pthread_self()));
    EXPECT_TRUE(RunningLogCapture::Contains(expected));
  }).join();
}

}  // namespace
