// Events, counting semaphores, recursive mutexes and read/write locks.
#include <gtest/gtest.h>

#include <semaphore.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KReadWriteLock.h"
#include "DOdudo/host/KSemaphore.h"
#include "DOdudo/host/KSystemEvent.h"
#include "DOdudo/host/KThreadMutex.h"

namespace {

constexpr unsigned int kForever = 0xFFFFFFFFu;

TEST(HostEvent, PulseWithoutWaiterIsLatchedForOneWait) {
  void* event = KHostSystem::CreateSystemEvent("ignored");
  KHostSystem::PulseSystemEvent(event);
  KHostSystem::PulseSystemEvent(event);  // still one latched pulse
  EXPECT_EQ(0, KHostSystem::WaitEvent(event, 10));
  EXPECT_EQ(2, KHostSystem::WaitEvent(event, 10));
  EXPECT_EQ(0, KHostSystem::CloseSystemEvent(event));
}

TEST(HostEvent, NullHandlesHaveDocumentedResults) {
  KHostSystem::PulseSystemEvent(nullptr);
  EXPECT_EQ(1, KHostSystem::CloseSystemEvent(nullptr));
  EXPECT_EQ(1, KHostSystem::WaitEvent(nullptr, 10));
  EXPECT_EQ(1, KHostSystem::WaitOnSemaphore(nullptr, 10));
  EXPECT_FALSE(KHostSystem::ReleaseSemaphore(nullptr, 1));
}

TEST(HostEvent, PulseWakesEveryWaiterAndClears) {
  dodudo::KSystemEvent event;
  dodudo::KSemaphore arrived(3);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      arrived.Release();
      if (event.Wait(kForever)) ++woken;
    });
  }
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(arrived.Wait(5000));
  // Arrival is signalled just before the wait starts: pulse until all three are through. Each
  // pulse releases only the waiters present, so extra pulses cannot wake anyone twice.
  while (woken < 3) {
    event.Pulse();
    KHostSystem::Delay(5);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(3, woken.load());
}

TEST(HostEvent, WaitTimesOutWithoutPulse) {
  dodudo::KSystemEvent event;
  unsigned int start = KHostSystem::GetTick();
  EXPECT_FALSE(event.Wait(30));
  EXPECT_GE(KHostSystem::GetTick() - start, 29u);
}

TEST(HostSemaphore, ReleaseIsClampedToMaximum) {
  void* s = KHostSystem::CreateCountSemaphore(0, 2, nullptr);
  ASSERT_NE(nullptr, s);
  EXPECT_TRUE(KHostSystem::ReleaseSemaphore(s, 5));
  EXPECT_EQ(0, KHostSystem::WaitOnSemaphore(s, 10));
  EXPECT_EQ(0, KHostSystem::WaitOnSemaphore(s, 10));
  EXPECT_EQ(1, KHostSystem::WaitOnSemaphore(s, 10));
  KHostSystem::DeleteSemaphore(s);

  dodudo::KSemaphore local(3);
  for (int i = 0; i < 5; ++i) local.Release();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(local.Wait(10));
  EXPECT_FALSE(local.Wait(10));

  dodudo::KSemaphore unbounded(0xFFFFFFFFu);  // beyond the host's int count
  unbounded.Release();
  unbounded.Release();
  EXPECT_TRUE(unbounded.Wait(10) && unbounded.Wait(10));
  EXPECT_FALSE(unbounded.Wait(10));
}

TEST(HostSemaphore, WaiterIsWokenByReleaseFromAnotherThread) {
  dodudo::KSemaphore semaphore(1);
  std::atomic<bool> taken{false};
  std::thread waiter([&] { taken = semaphore.Wait(kForever); });
  KHostSystem::Delay(20);
  EXPECT_FALSE(taken.load());
  semaphore.Release();
  waiter.join();
  EXPECT_TRUE(taken.load());
}

TEST(HostSemaphore, NamedSemaphoreIsSharedByName) {
  const std::string name = "/snl-test-" + std::to_string(KHostSystem::GetCurrentProcId());
  {
    dodudo::KSemaphore owner(name, 4, true);
    dodudo::KSemaphore user(name, 4, false);
    EXPECT_TRUE(owner.Release());
    EXPECT_TRUE(user.Wait(1000));
    EXPECT_FALSE(user.Wait(10));
  }
  EXPECT_NE(0, sem_unlink(name.c_str()));  // the owner removed the name
}

TEST(HostSemaphore, UnopenableNameFailsEveryWait) {
  dodudo::KSemaphore bad("/no/slashes/allowed", 1, false);
  EXPECT_FALSE(bad.Release());
  EXPECT_FALSE(bad.Wait(10));
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

TEST(HostMutex, RecursiveForOwnerExclusiveForOthers) {
  dodudo::KThreadMutex mutex;
  ASSERT_EQ(0, mutex.Lock());
  ASSERT_EQ(0, mutex.Lock());
  EXPECT_EQ(0, mutex.Unlock());
  EXPECT_TRUE(WaitsFor(mutex, [&] { mutex.Unlock(); }));  // still held once
}

TEST(HostReadWriteLock, ReadersShareWriterIsAlone) {
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
