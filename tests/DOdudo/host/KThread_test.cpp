// Threads (what Starter reports, Join, scheduler choice, priority levels) and synchronisation
// (events, counting semaphores, recursive mutexes, read/write locks).
#include "DOdudo/host/KThread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "DOdudo/host/KHostLog.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KPriority.h"
#include "DOdudo/host/KReadWriteLock.h"
#include "DOdudo/host/KSemaphore.h"
#include "DOdudo/host/KSystemEvent.h"
#include "DOdudo/host/KThreadMutex.h"
#include "support/WallClock.h"

namespace {

constexpr unsigned int kForever = 0xFFFFFFFFu;
using Lines = std::vector<std::string>;
std::mutex logMutex;
Lines logLines;

// What the host layer sends to the running log, as "<level>|<text>" in arrival order.
void Sink(KLogLevel level, const char* text) {
  std::lock_guard<std::mutex> guard(logMutex);
  logLines.push_back(std::string(1, "EWINT"[level]) + "|" + text);
}
Lines Logged() {
  std::lock_guard<std::mutex> guard(logMutex);
  return logLines;
}
long Logged(const std::string& line) {
  const Lines lines = Logged();
  return std::count(lines.begin(), lines.end(), line);
}

enum Way { kReturn, kThrow, kThrowInt, kExit, kLoop };

// A body that ends in the given way (kLoop: when asked to stop).
class TestThread : public dodudo::KThread {
 public:
  explicit TestThread(Way way) : way_(way) {}
  void Execute() override {
    if (way_ == kThrow) throw std::runtime_error("boom");
    if (way_ == kThrowInt) throw 42;
    if (way_ == kExit) Exit();
    while (way_ == kLoop && !StopRequested()) KHostSystem::Delay(5);
  }
  const Way way_;
};

// Termination is marked on every way out of the body, Exit() included.
TEST(KThreadStarter, ReportsHowTheBodyEnded) {
  SetRunningLogSink(&Sink);
  const std::string type = typeid(TestThread).name();
  const struct {
    Way way;
    std::string line;
  } cases[] = {
      {kExit, "N|Thread started: " + type},  // first, so that its line is the only one yet
      {kReturn, "N|Thread stopped: " + type},
      {kThrow, "E|Thread " + type + " stopped due to unhandled exception boom"},
      {kThrowInt, "E|Thread " + type + " stopped due to unknown unhandled exception"},
  };
  for (const auto& c : cases) {
    TestThread thread(c.way);
    ASSERT_NE(nullptr, thread.Start());
    while (!thread.IsTerminated()) KHostSystem::Delay(2);
    EXPECT_TRUE(thread.StopRequested() && thread.IsRunning() && !thread.IsStarting());
    EXPECT_EQ(1, Logged(c.line)) << c.line;
    EXPECT_FALSE(thread.Join(kForever));  // already over: at once
  }
  EXPECT_EQ(1, Logged("N|Thread stopped: " + type));  // only the body that returned
}

TEST(KThreadJoin, NeverStartedAndNeverReturning) {
  SetRunningLogSink(&Sink);
  TestThread thread(kLoop);
  unsigned int start = KHostSystem::GetTick();
  EXPECT_FALSE(thread.Join(5000));
  EXPECT_LT(KHostSystem::GetTick() - start, 50u);
  EXPECT_EQ(1, Logged("T|Unable to join          0, thread already terminated"));
  thread.Start();
  start = KHostSystem::GetTick();
  EXPECT_FALSE(thread.Join(250));
  EXPECT_GE(KHostSystem::GetTick() - start, 250u);
  EXPECT_FALSE(thread.IsTerminated());
  thread.RequestStop();
  while (!thread.IsTerminated()) KHostSystem::Delay(2);
}

void* ReleaseRoutine(void* s) {
  static_cast<dodudo::KSemaphore*>(s)->Release();
  return nullptr;
}

// Refused scheduler requests warn, and every request still gets its thread. Both layers ask for
// FIFO, which an unprivileged process cannot have.
TEST(KThreadStart, SchedulerRequestsAsRootAndUnprivileged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  SetRunningLogSink(&Sink);
  using dodudo::KThread;
  dodudo::KSemaphore ran(5);
  // FIFO may still be refused (no scheduling capability): the thread then starts all the same.
  KThread::StartThread(&ReleaseRoutine, &ran, 0, false, true, 1);
  KThread::StartThread(&ReleaseRoutine, &ran, 0, false, true, 9);
  ASSERT_EQ(0, seteuid(65534));  // which also drops the scheduling capability
  EXPECT_NE(0ul, KHostSystem::StartThread(&ReleaseRoutine, &ran, 0));
  void* handle = KThread::StartThread(&ReleaseRoutine, &ran, 0, false, false, 3);
  // The root test comes first, even for an invalid scheduler. A released handle: still runs.
  EXPECT_EQ(nullptr, KThread::StartThread(&ReleaseRoutine, &ran, 0, false, true, 9));
  ASSERT_EQ(0, seteuid(0));
  EXPECT_NE(nullptr, handle);
  KThread::CloseThreadHandle(handle);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(ran.Wait(5000)) << i;
  const std::string needRoot =
      " -- need to be running as root to change scheduler, creating with default scheduler";
  EXPECT_EQ(Logged(), (Lines{"W|Invalid thread scheduler 9, refusing to set thread scheduler and "
                             "creating with default scheduler",
                             "W|Unable to start thread using scheduler 3" + needRoot,
                             "W|Unable to start thread using scheduler 9" + needRoot}));
}

TEST(KThreadPriority, LevelMappingAndFifoThreadLevels) {
  using namespace dodudo::priority;
  const int expected[] = {19, 24, 33, 49, 66, 99};
  for (int level = 0; level <= 5; ++level) {
    EXPECT_EQ(expected[level], PriorityForLevel(level, 99, 50)) << level;
    EXPECT_EQ(level, ThreadLevelForPriority(expected[level], 99)) << level;
  }
  EXPECT_EQ(1, HostLevelForPriority(19, 99));  // the host reading has no level 0
  SetRunningLogSink(&Sink);
  std::thread([] {
    sched_param param{};
    param.sched_priority = 30;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) != 0) {
      GTEST_SKIP() << "FIFO scheduling not permitted here";
    }
    EXPECT_EQ(1, dodudo::KThread::GetPriority(nullptr));
    void* self = KHostSystem::ThreadSelf();
    KHostSystem::ThreadSetPriority(self, 4, 0);
    KHostSystem::ThreadSetPriority(self, 9, 0);  // out of range: re-applies the current one
    int policy = 0;
    pthread_getschedparam(pthread_self(), &policy, &param);
    EXPECT_TRUE(policy == SCHED_FIFO && param.sched_priority == 66);
    EXPECT_EQ(4, KHostSystem::ThreadGetPriority(self));
    char expected[64];
    snprintf(expected, sizeof expected, "N|Thread %10u priority changed 30 -> 4",
             static_cast<unsigned int>(pthread_self()));
    EXPECT_EQ(1, Logged(expected));
  }).join();
}

TEST(HostEvent, PulseLatchedForOneWaitAndWakesEveryWaiter) {
  void* event = KHostSystem::CreateSystemEvent("ignored");
  KHostSystem::PulseSystemEvent(event);
  KHostSystem::PulseSystemEvent(event);  // still one latched pulse
  EXPECT_EQ(0, KHostSystem::WaitEvent(event, 10));
  unsigned int start = KHostSystem::GetTick();
  EXPECT_EQ(2, KHostSystem::WaitEvent(event, 30));
  EXPECT_GE(KHostSystem::GetTick() - start, 29u);
  EXPECT_EQ(0, KHostSystem::CloseSystemEvent(event));
  // Null handles.
  KHostSystem::PulseSystemEvent(nullptr);
  EXPECT_EQ(1, KHostSystem::CloseSystemEvent(nullptr));
  EXPECT_EQ(1, KHostSystem::WaitEvent(nullptr, 10));
  EXPECT_EQ(1, KHostSystem::WaitOnSemaphore(nullptr, 10));
  EXPECT_FALSE(KHostSystem::ReleaseSemaphore(nullptr, 1));
  // A pulse wakes every waiter.
  dodudo::KSystemEvent shared;
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += shared.Wait(kForever); });
  // Pulse until all three are through (a waiter may not be waiting yet). Each pulse releases only
  // the waiters present, so extra pulses cannot wake anyone twice.
  while (woken < 3) {
    shared.Pulse();
    KHostSystem::Delay(5);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(3, woken.load());
}

// How many 10 ms waits succeed in a row.
int Available(dodudo::KSemaphore& semaphore) {
  int n = 0;
  while (semaphore.Wait(10)) ++n;
  return n;
}

TEST(HostSemaphore, ClampedToMaximumAndWokenFromAnotherThread) {
  void* s = KHostSystem::CreateCountSemaphore(0, 2, nullptr);
  EXPECT_TRUE(KHostSystem::ReleaseSemaphore(s, 5));
  EXPECT_EQ(0, KHostSystem::WaitOnSemaphore(s, 10));
  EXPECT_EQ(0, KHostSystem::WaitOnSemaphore(s, 10));
  EXPECT_EQ(1, KHostSystem::WaitOnSemaphore(s, 10));
  KHostSystem::DeleteSemaphore(s);
  dodudo::KSemaphore local(3), unbounded(0xFFFFFFFFu);  // the second beyond the host's int count
  for (int i = 0; i < 5; ++i) local.Release();
  unbounded.Release();
  unbounded.Release();
  EXPECT_EQ(3, Available(local));
  EXPECT_EQ(2, Available(unbounded));
  // A waiter is woken by a release from another thread.
  std::atomic<bool> taken{false};
  std::thread waiter([&] { taken = local.Wait(kForever); });
  KHostSystem::Delay(20);
  EXPECT_FALSE(taken.load());
  local.Release();
  waiter.join();
  EXPECT_TRUE(taken.load());
}

// Timeouts run on the monotonic clock: the wall clock stepped forward by an hour or back by a
// minute neither cuts a 200 ms wait short nor stretches it (events, host semaphores, named
// semaphores).
TEST(HostWaits, TimeoutsIgnoreWallClockSteps) {
  void* event = KHostSystem::CreateSystemEvent(nullptr);
  void* host = KHostSystem::CreateCountSemaphore(0, 1, nullptr);
  dodudo::KSemaphore named("/snl-test-clock-" + std::to_string(getpid()), 1, true);
  const std::pair<const char*, std::function<bool()>> waits[] = {
      {"event", [&] { return KHostSystem::WaitEvent(event, 200) == 2; }},
      {"host semaphore", [&] { return KHostSystem::WaitOnSemaphore(host, 200) == 1; }},
      {"named semaphore", [&] { return !named.Wait(200); }}};
  for (long long step : {3600LL, -3600LL - 60LL}) {
    snltest::StepWallClock(step);
    for (const auto& [what, wait] : waits) {
      unsigned int start = KHostSystem::GetTick();
      EXPECT_TRUE(wait()) << what;
      unsigned int took = KHostSystem::GetTick() - start;
      EXPECT_GE(took, 199u) << what << " after a step of " << step << " s";
      EXPECT_LT(took, 2000u) << what << " after a step of " << step << " s";
    }
  }
  KHostSystem::DeleteSemaphore(host);
  KHostSystem::CloseSystemEvent(event);
}

// Takes the lock on another thread; true when that had to wait until release() ran.
template <typename F>
bool WaitsFor(dodudo::KMutex& lock, F release) {
  std::atomic<bool> got{false};
  std::thread other([&] {
    dodudo::KScopedLock guard(lock);
    got = true;
  });
  KHostSystem::Delay(20);
  const bool waited = !got;
  release();
  other.join();
  return waited && got;
}

TEST(HostLocks, RecursiveMutexAndReadWriteLock) {
  dodudo::KThreadMutex mutex;
  ASSERT_EQ(0, mutex.Lock());
  ASSERT_EQ(0, mutex.Lock());
  EXPECT_EQ(0, mutex.Unlock());
  EXPECT_TRUE(WaitsFor(mutex, [&] { mutex.Unlock(); }));  // still held once
  // Read/write lock: readers share, a writer is alone.
  KReadWriteLock lock;
  dodudo::KReaderMutex reader(&lock);
  dodudo::KWriterMutex writer(&lock);
  ASSERT_EQ(0, reader.Lock());
  std::thread([&] {
    EXPECT_EQ(0, reader.Lock());  // a second reader gets in at once
    reader.Unlock();
  }).join();
  EXPECT_TRUE(WaitsFor(writer, [&] { reader.Unlock(); }));
  writer.Lock();
  EXPECT_TRUE(WaitsFor(reader, [&] { writer.Unlock(); }));
}

}  // namespace
