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
}

TEST(HostSemaphore, InitialCountIsTakenAtOnce) {
  void* s = KHostSystem::CreateCountSemaphore(1, 1, nullptr);
  EXPECT_EQ(0, KHostSystem::WaitOnSemaphore(s, 0));
  EXPECT_EQ(1, KHostSystem::WaitOnSemaphore(s, 0));
  KHostSystem::DeleteSemaphore(s);
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
    EXPECT_FALSE(user.Wait(10));
    EXPECT_TRUE(owner.Release());
    EXPECT_TRUE(user.Wait(1000));
    EXPECT_FALSE(owner.Wait(10));
    // A fresh owner starts from zero even though the name exists.
    owner.Release();
    dodudo::KSemaphore second(name, 4, true);
    EXPECT_FALSE(second.Wait(10));
  }
  dodudo::KSemaphore reopened(name, 4, false);  // the owner removed the name: made anew, empty
  EXPECT_FALSE(reopened.Wait(10));
  sem_unlink(name.c_str());
}

TEST(HostSemaphore, UnopenableNameFailsEveryWait) {
  dodudo::KSemaphore bad("/no/slashes/allowed", 1, false);
  EXPECT_FALSE(bad.Release());
  EXPECT_FALSE(bad.Wait(10));
}

TEST(HostMutex, RecursiveForOwnerExclusiveForOthers) {
  dodudo::KThreadMutex mutex;
  ASSERT_EQ(0, mutex.Lock());
  ASSERT_EQ(0, mutex.Lock());
  std::atomic<bool> otherGotIt{false};
  std::thread other([&] {
    otherGotIt = pthread_mutex_trylock(mutex.GetMutex()) == 0;
    if (otherGotIt) pthread_mutex_unlock(mutex.GetMutex());
  });
  other.join();
  EXPECT_FALSE(otherGotIt.load());
  EXPECT_EQ(0, mutex.Unlock());
  EXPECT_EQ(0, mutex.Unlock());
  std::thread([&] {  // released as often as taken: free for others now
    otherGotIt = pthread_mutex_trylock(mutex.GetMutex()) == 0;
    if (otherGotIt) pthread_mutex_unlock(mutex.GetMutex());
  }).join();
  EXPECT_TRUE(otherGotIt.load());
}

TEST(HostMutex, LocalMutexHandleIsRecursive) {
  void* mutex = KHostSystem::CreateLocalMutex();
  KHostSystem::EnterLocalMutex(mutex);
  KHostSystem::EnterLocalMutex(mutex);
  EXPECT_EQ(0, KHostSystem::LeaveLocalMutex(mutex));
  bool free = true;
  std::thread([&] { free = pthread_mutex_trylock(static_cast<pthread_mutex_t*>(mutex)) == 0; }).join();
  EXPECT_FALSE(free);  // still held once
  EXPECT_EQ(0, KHostSystem::LeaveLocalMutex(mutex));
  KHostSystem::DeleteLocalMutex(mutex);
}

TEST(HostReadWriteLock, ReadersShareWriterIsAlone) {
  KReadWriteLock lock;
  dodudo::KReaderMutex reader(&lock);
  dodudo::KWriterMutex writer(&lock);
  dodudo::KMutex& asMutex = reader;
  ASSERT_EQ(0, asMutex.Lock());
  std::atomic<int> secondReader{-1};
  std::thread([&] {
    secondReader = reader.Lock();
    reader.Unlock();
  }).join();
  EXPECT_EQ(0, secondReader.load());
  std::atomic<bool> written{false};
  std::thread w([&] {
    dodudo::KScopedLock guard(writer);
    written = true;
  });
  KHostSystem::Delay(20);
  EXPECT_FALSE(written.load());  // held back by the reader
  asMutex.Unlock();
  w.join();
  EXPECT_TRUE(written.load());


  // And while the writer holds it, a reader waits.
  writer.Lock();
  std::atomic<bool> read{false};
  std::thread r([&] {
    dodudo::KScopedLock guard(reader);
    read = true;
  });
  KHostSystem::Delay(20);
  EXPECT_FALSE(read.load());
  writer.Unlock();
  r.join();
  EXPECT_TRUE(read.load());
}

}  // namespace
