// The operating-system layer: tick arithmetic, threads and identity cells, executable name,
// directory trees and searches, line reading, dynamic libraries and the text helpers.
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KSemaphore.h"
#include "DOdudo/host/KSystemTime.h"

namespace {

TEST(HostTicks, WrapArithmetic) {
  EXPECT_EQ(10u, KHostSystem::diffTime(10, 20));
  EXPECT_EQ(0u, KHostSystem::diffTime(7, 7));
  EXPECT_EQ(20u, KHostSystem::diffTime(0xFFFFFFF0u, 5));  // modulo difference 21, less one
  EXPECT_EQ(0xFFFFFFFFu, KHostSystem::GetTickMaxCount());

  timespec t{1, 999000000L};
  KHostSystem::AddMilisecToTime(&t, 1500);
  EXPECT_EQ(3, t.tv_sec);
  EXPECT_EQ(499000000L, t.tv_nsec);

  timespec a{4294967, 295000000L};  // 0xFFFFFFFF ms, the last tick before the wrap
  timespec b{4294967, 305000000L};  // 10 ms later, past the wrap
  EXPECT_EQ(9u, KHostSystem::diffTimeMilisec(a, b));
}

TEST(HostTicks, DelaySleepsAtLeastTheInterval) {
  unsigned int start = KHostSystem::GetTick();
  KHostSystem::Delay(30);
  EXPECT_GE(KHostSystem::diffTime(start), 29u);
}

TEST(HostTime, LocalTimeAndBias) {
  setenv("TZ", "<-03>3", 1);
  tzset();
  int bias = 0;
  unsigned int seconds = KHostSystem::GetSecondsSinceEpoch(bias);
  EXPECT_EQ(10800, bias);
  EXPECT_LE(seconds, static_cast<unsigned int>(time(nullptr)));

  dodudo::time::KSystemTime now;
  now.dayOfWeek = 9;
  KHostSystem::GetTime(&now);
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LT(now.milliseconds, 1000);
  EXPECT_EQ(9, now.dayOfWeek);  // not set by GetTime
  KHostSystem::GetTime(nullptr);
}

void* PostPolicy(void* argument) {
  auto* policy = static_cast<std::atomic<int>*>(argument);
  int p = -1;
  sched_param param{};
  pthread_getschedparam(pthread_self(), &p, &param);
  *policy = p;
  return nullptr;
}

int RunAndReadPolicy() {
  std::atomic<int> policy{-1};
  EXPECT_NE(0ul, KHostSystem::StartThread(&PostPolicy, &policy, 0));
  while (policy == -1) KHostSystem::Delay(1);
  return policy;
}

// An unprivileged process cannot have FIFO threads; it still gets its thread.
TEST(HostThreads, StartThreadFallsBackToDefaultScheduling) {
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, seteuid(65534));
  }
  int policy = RunAndReadPolicy();
  if (root) {
    ASSERT_EQ(0, seteuid(0));
  }
  EXPECT_EQ(SCHED_OTHER, policy);
  policy = RunAndReadPolicy();  // with the privilege (if any), FIFO as asked
  EXPECT_TRUE(policy == SCHED_FIFO || policy == SCHED_OTHER);
  EXPECT_EQ(0ul, KHostSystem::StartThread(static_cast<KThreadRoutine>(nullptr), nullptr, 0));
}

TEST(HostThreads, IdentityCellIsPerThread) {
  void* mine = KHostSystem::ThreadSelf();
  EXPECT_EQ(mine, KHostSystem::ThreadSelf());
  EXPECT_TRUE(pthread_equal(pthread_self(), *static_cast<pthread_t*>(mine)));
  EXPECT_EQ(static_cast<unsigned long>(pthread_self()), KHostSystem::ThreadId());
  void* other = nullptr;
  pthread_t otherId{};
  std::thread([&] {
    other = KHostSystem::ThreadSelf();
    otherId = *static_cast<pthread_t*>(other);
  }).join();  // its cell is freed at exit (the leak checker would notice otherwise)
  EXPECT_NE(mine, other);
  EXPECT_FALSE(pthread_equal(pthread_self(), otherId));
}

TEST(HostProcess, ExeNameOfThisTestBinary) {
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath("/proc/self/exe", real));
  char buffer[PATH_MAX];
  ASSERT_TRUE(KHostSystem::GetExeName(buffer, sizeof buffer, true));
  EXPECT_STREQ(real, buffer);
  ASSERT_TRUE(KHostSystem::GetExeName(buffer, sizeof buffer, false));
  EXPECT_STREQ(strrchr(real, '/') + 1, buffer);

  char tiny[5];
  ASSERT_TRUE(KHostSystem::GetExeName(tiny, sizeof tiny, true));
  EXPECT_EQ(std::string(real).substr(0, 4), tiny);
  EXPECT_FALSE(KHostSystem::GetExeName(buffer, 0, true));
  EXPECT_EQ(KHostSystem::GetCurrentProcId(), getpid());
}

TEST(HostProcess, ExternalProcessHandleAndRunOnce) {
  void* self = KHostSystem::OpenExternalProcess(static_cast<unsigned long long>(getpid()));
  int local = 0;
  EXPECT_TRUE(KHostSystem::ReadExternalMemory(self, &local, nullptr, 0, nullptr));
  EXPECT_EQ(0, KHostSystem::CloseExternalProcess(self));
  void* none = KHostSystem::OpenExternalProcess(0);  // no process 0 in /proc
  ASSERT_NE(nullptr, none);
  EXPECT_FALSE(KHostSystem::ReadExternalMemory(none, &local, nullptr, 0, nullptr));
  EXPECT_NE(0, KHostSystem::CloseExternalProcess(none));
  EXPECT_TRUE(KHostSystem::CreateRunOnce());
  EXPECT_FALSE(KHostSystem::TestRunOnce());  // no server daemon here
}

// A fresh directory under /tmp, removed with everything in it at the end.
class HostTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/hosttreeXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
  }
  void TearDown() override {
    if (!root_.empty()) KHostSystem::RemoveDirectory(root_.c_str());
  }
  static bool IsDir(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  static void Touch(const std::string& path, const char* text = "x\n") {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs(text, f);
    fclose(f);
  }
  std::string root_;
};

TEST_F(HostTree, MakeDirectoryCreatesMissingParents) {
  EXPECT_FALSE(KHostSystem::MakeDirectory((root_ + "/a/b/c").c_str()));
  EXPECT_TRUE(IsDir(root_ + "/a") && IsDir(root_ + "/a/b") && IsDir(root_ + "/a/b/c"));
  EXPECT_FALSE(KHostSystem::MakeDirectory((root_ + "/a/b/c").c_str()));  // exists already
  EXPECT_FALSE(KHostSystem::MakeDirectory((root_ + "/d/e/").c_str()));
  EXPECT_TRUE(IsDir(root_ + "/d/e"));

  Touch(root_ + "/file");
  EXPECT_TRUE(KHostSystem::MakeDirectory((root_ + "/file").c_str()));
  EXPECT_TRUE(KHostSystem::MakeDirectory((root_ + "/file/below").c_str()));
  EXPECT_TRUE(KHostSystem::MakeDirectory(nullptr));
}

TEST_F(HostTree, RemoveDirectoryDoesNotFollowLinks) {
  char outside[] = "/tmp/hostkeepXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(outside));
  const std::string keep = std::string(outside) + "/keep.txt";
  Touch(keep);

  const std::string tree = root_ + "/tree";
  ASSERT_FALSE(KHostSystem::MakeDirectory((tree + "/sub/deeper").c_str()));
  Touch(tree + "/top.log");
  Touch(tree + "/sub/deeper/leaf");
  ASSERT_EQ(0, symlink(outside, (tree + "/sub/link").c_str()));
  ASSERT_EQ(0, symlink("/nonexistent/target", (tree + "/dangling").c_str()));

  EXPECT_FALSE(KHostSystem::RemoveDirectory(tree.c_str()));
  EXPECT_NE(0, access(tree.c_str(), F_OK));
  EXPECT_EQ(0, access(keep.c_str(), F_OK));  // the link's target survives
  EXPECT_TRUE(KHostSystem::RemoveDirectory(tree.c_str()));  // gone already
  EXPECT_FALSE(KHostSystem::RemoveDirectory(outside));
}

TEST_F(HostTree, SearchByExtension) {
  Touch(root_ + "/a.LOG");
  Touch(root_ + "/b.txt");
  Touch(root_ + "/log");
  char name[256];
  int result = -1;
  void* search = KHostSystem::FindFirst(root_.c_str(), "log", name, &result);
  ASSERT_NE(nullptr, search);
  EXPECT_EQ(0, result);
  EXPECT_STREQ("a.LOG", name);
  EXPECT_EQ(6, KHostSystem::FindNext(search, "log", name));
  KHostSystem::FindClose(search);

  int count = 0;
  search = KHostSystem::FindFirst(root_.c_str(), nullptr, name, &result);
  for (; result == 0; result = KHostSystem::FindNext(search, nullptr, name)) ++count;
  KHostSystem::FindClose(search);
  EXPECT_EQ(5, count);  // with "." and ".."

  EXPECT_EQ(nullptr, KHostSystem::FindFirst((root_ + "/missing").c_str(), "*", name, &result));
  EXPECT_EQ(6, KHostSystem::FindNext(nullptr, "*", name));
}

TEST(HostFiles, ExtensionCompare) {
  EXPECT_TRUE(KHostSystem::ExtensionCompare("a.LOG", "log"));
  EXPECT_TRUE(KHostSystem::ExtensionCompare("x.tar.gz", "GZ"));
  EXPECT_FALSE(KHostSystem::ExtensionCompare("x.tar.gz", "tar"));
  EXPECT_FALSE(KHostSystem::ExtensionCompare("log", "log"));
  EXPECT_FALSE(KHostSystem::ExtensionCompare("..", ""));
  EXPECT_TRUE(KHostSystem::ExtensionCompare("..", "*"));
  EXPECT_TRUE(KHostSystem::ExtensionCompare("trailing.", ""));
  EXPECT_FALSE(KHostSystem::ExtensionCompare(nullptr, "log"));
}

TEST_F(HostTree, ReadLineTurnsCrLfIntoLf) {
  const std::string path = root_ + "/lines";
  Touch(path, "one\r\ntwo\nlast");
  FILE* f = fopen(path.c_str(), "r");
  ASSERT_NE(nullptr, f);
  char buffer[16];
  EXPECT_STREQ("one\n", KHostSystem::ReadLine(buffer, sizeof buffer, f));
  EXPECT_STREQ("two\n", KHostSystem::ReadLine(buffer, sizeof buffer, f));
  EXPECT_STREQ("last", KHostSystem::ReadLine(buffer, sizeof buffer, f));
  EXPECT_EQ(nullptr, KHostSystem::ReadLine(buffer, sizeof buffer, f));
  EXPECT_STREQ("", buffer);
  fclose(f);

  EXPECT_EQ(0, KHostSystem::FileTruncate(path.c_str(), 2));
  FILE* shared = KHostSystem::OpenSharedFile(path.c_str());
  ASSERT_NE(nullptr, shared);
  fputs("!", shared);
  fclose(shared);
  f = fopen(path.c_str(), "r");
  EXPECT_STREQ("on!", KHostSystem::ReadLine(buffer, sizeof buffer, f));
  fclose(f);
  EXPECT_FALSE(KHostSystem::RemoveFile(path.c_str()));
  EXPECT_TRUE(KHostSystem::RemoveFile(path.c_str()));
}

TEST(HostLibraries, LoadAndResolve) {
  char* error = nullptr;
  void* libm = KHostSystem::LoadDllLibrary("libm.so.6", &error);
  ASSERT_NE(nullptr, libm);
  auto cosine = reinterpret_cast<double (*)(double)>(KHostSystem::GetDllProcAddress(libm, "cos"));
  ASSERT_NE(nullptr, cosine);
  EXPECT_DOUBLE_EQ(1.0, cosine(0.0));
  EXPECT_EQ(nullptr, KHostSystem::GetDllProcAddress(libm, "no_such_symbol_here"));
  EXPECT_EQ(nullptr, KHostSystem::LoadDllLibrary("/nonexistent/libnothing.so", &error));
  ASSERT_NE(nullptr, error);
  EXPECT_NE(nullptr, strstr(error, "libnothing"));
  EXPECT_EQ(nullptr, KHostSystem::LoadDllLibrary("/nonexistent/libnothing.so", nullptr));
}

TEST(HostText, NumbersAndTrimming) {
  EXPECT_EQ(42, KHostSystem::AtoI("42abc"));
  EXPECT_EQ(0, KHostSystem::AtoI("abc"));
  EXPECT_EQ(10, KHostSystem::AtoI("010"));  // base 10, not octal
  char digits[12];
  EXPECT_STREQ("-2147483648", KHostSystem::ItoA(INT_MIN, digits, 16));
  EXPECT_EQ(0, KHostSystem::StriCmp("Tolma", "tOLMA"));
  EXPECT_LT(KHostSystem::StriCmp("a", "B"), 0);
  char text[] = "  x\t";
  EXPECT_STREQ("x", KHostSystem::StrTrim(text));
  char blank[] = " \t\n";
  EXPECT_STREQ("", KHostSystem::StrTrim(blank));
  EXPECT_EQ(nullptr, KHostSystem::StrTrim(nullptr));
  EXPECT_STREQ("/etc/tolma/", KHostSystem::GetWorkDirectory());
}

TEST(HostText, HashTreatsBytesAsSigned) {
  EXPECT_EQ(0x5FFFCBE4u, KHostSystem::Hash("abc", 3, 0));
  EXPECT_EQ(1234u, KHostSystem::Hash("", 0, 1234));
  // A byte above 0x7F must hash as a negative value on every platform.
  const char high[] = {'\xE9'};
  uint32_t h = 1;
  uint32_t c = 0xFFFFFFE9u;
  h ^= ((h >> 3) * c) ^ (h << 7);
  EXPECT_EQ(h, KHostSystem::Hash(high, 1, 1));
}

TEST(HostText, FromStringAndToString) {
  EXPECT_EQ(31, from_string<int>("0x1F", 7));
  EXPECT_EQ(7, from_string<int>("abc", 7));
  EXPECT_EQ(7, from_string<int>("", 7));
  EXPECT_EQ(8, from_string<int>("010", 7));  // base 0: octal
  EXPECT_EQ(4000000000u, from_string<unsigned int>("4000000000", 1u));
  EXPECT_EQ(-5LL, from_string<long long>("-5 trailing", 0LL));
  EXPECT_EQ(0xFFFFFFFFFFULL, from_string<unsigned long long>("0xFFFFFFFFFF", 0ULL));
  EXPECT_EQ(12L, from_string<long>("12abc", -1L));
  EXPECT_EQ(10L, from_string<long>(" 010", -1L));  // decimal through a stream
  EXPECT_EQ(-1L, from_string<long>("x", -1L));
  EXPECT_EQ("text", from_string(std::string("text"), std::string("fallback")));
  EXPECT_EQ("text", from_string("text", "fallback"));
  EXPECT_EQ("", from_string(std::string(""), "fallback"));
  EXPECT_EQ("abc", to_string("abc"));
  EXPECT_EQ("abc", to_string(std::string("abc")));
}

}  // namespace
