// The at-fork registry: order of the handlers in the parent and in the child, removal, and the
// fork generation seen by a lazily started thread.
#include "DOdudo/host/KAtFork.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

using dodudo::KAtFork;

// Each handler appends "<phase><tag>" to g_trace ("pA" = prepare of A, "cB" = child of B).
std::string g_trace;
void Prepare(void* tag) { g_trace += std::string("p") + static_cast<const char*>(tag); }
void Parent(void* tag) { g_trace += std::string("a") + static_cast<const char*>(tag); }
void Child(void* tag) { g_trace += std::string("c") + static_cast<const char*>(tag); }
void* Tag(const char* text) { return const_cast<char*>(text); }

// Forks; the child exits 0 when `check` (run in the child) holds. The child's verdict, or -1.
template <typename Check>
int ForkAndCheck(Check check) {
  pid_t pid = fork();
  if (pid == 0) _exit(check() ? 0 : 1);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(KAtFork, HandlersRunInPthreadAtforkOrderAndCanBeRemoved) {
  unsigned long a = KAtFork::Register(Prepare, Parent, Child, Tag("A"));
  unsigned long b = KAtFork::Register(Prepare, Parent, Child, Tag("B"));
  unsigned long onlyChild = KAtFork::Register(nullptr, nullptr, Child, Tag("C"));
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, a);
  ASSERT_NE(onlyChild, 0u);

  g_trace.clear();
  EXPECT_EQ(ForkAndCheck([] { return g_trace == "pBpAcAcBcC"; }), 0);
  EXPECT_EQ(g_trace, "pBpAaAaB");

  KAtFork::Unregister(a);
  KAtFork::Unregister(a);  // twice, 0 and an unknown id: nothing
  KAtFork::Unregister(0);
  KAtFork::Unregister(987654321);
  g_trace.clear();
  EXPECT_EQ(ForkAndCheck([] { return g_trace == "pBcBcC"; }), 0);
  EXPECT_EQ(g_trace, "pBaB");

  KAtFork::Unregister(b);
  KAtFork::Unregister(onlyChild);
  g_trace.clear();
  EXPECT_EQ(ForkAndCheck([] { return g_trace.empty(); }), 0);
  EXPECT_EQ(g_trace, "");
}

// Innermost handlers (the log writers': every component logs under its own locks) take their
// locks after every other handler, whatever the order of registration, and give them back first.
// A component registered at load before the writers would otherwise hold their locks while it
// waits for its own, held by a thread that is logging.
TEST(KAtFork, InnermostHandlersPrepareLastAndResumeFirst) {
  unsigned long i = KAtFork::RegisterInnermost(Prepare, Parent, Child, Tag("I"));
  unsigned long a = KAtFork::Register(Prepare, Parent, Child, Tag("A"));
  unsigned long j = KAtFork::RegisterInnermost(Prepare, Parent, Child, Tag("J"));
  g_trace.clear();
  EXPECT_EQ(ForkAndCheck([] { return g_trace == "pApJpIcIcJcA"; }), 0);
  EXPECT_EQ(g_trace, "pApJpIaIaJaA");
  for (unsigned long id : {i, a, j}) KAtFork::Unregister(id);
}

TEST(KAtFork, GenerationCountsForksDownTheLine) {
  unsigned long here = KAtFork::Generation();
  EXPECT_EQ(ForkAndCheck([here] {
              return KAtFork::Generation() == here + 1 &&
                     ForkAndCheck([here] { return KAtFork::Generation() == here + 2; }) == 0;
            }),
            0);
  EXPECT_EQ(KAtFork::Generation(), here);
}

// A fork while another thread is inside Register must neither deadlock the child nor leave it a
// registry it cannot use.
TEST(KAtFork, ChildCanRegisterAfterForkDuringRegistration) {
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop.load()) KAtFork::Unregister(KAtFork::Register(nullptr, nullptr, nullptr, nullptr));
  });
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(ForkAndCheck([] {
                alarm(10);  // a deadlocked child dies of SIGALRM and fails the test
                unsigned long id = KAtFork::Register(nullptr, nullptr, nullptr, nullptr);
                KAtFork::Unregister(id);
                return id != 0;
              }),
              0);
  }
  stop.store(true);
  churn.join();
}

}  // namespace
