// The operating-system layer: tick arithmetic, thread start, executable name, directory trees and
// searches, line reading and the text helpers.
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "DOdudo/host/KHostSystem.h"
#include "HostTestSupport.h"

namespace {

TEST(HostTicks, WrapArithmetic) {
  EXPECT_EQ(10u, KHostSystem::diffTime(10, 20));
  EXPECT_EQ(20u, KHostSystem::diffTime(0xFFFFFFF0u, 5));  // modulo difference 21, less one

  timespec t{1, 999000000L};
  KHostSystem::AddMilisecToTime(&t, 1500);
  EXPECT_EQ(3, t.tv_sec);
  EXPECT_EQ(499000000L, t.tv_nsec);

  timespec a{4294967, 295000000L};  // 0xFFFFFFFF ms, the last tick before the wrap
  timespec b{4294967, 305000000L};  // 10 ms later, past the wrap
  EXPECT_EQ(9u, KHostSystem::diffTimeMilisec(a, b));
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
  int policy = -1;
  AsUnprivileged([&] { policy = RunAndReadPolicy(); });
  EXPECT_EQ(SCHED_OTHER, policy);
  policy = RunAndReadPolicy();  // with the privilege (if any), FIFO as asked
  EXPECT_TRUE(policy == SCHED_FIFO || policy == SCHED_OTHER);
  EXPECT_EQ(0ul, KHostSystem::StartThread(static_cast<KThreadRoutine>(nullptr), nullptr, 0));
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

  // Named directly, a link to a directory fails and its target keeps its content.
  const std::string link = root_ + "/link";
  ASSERT_EQ(0, symlink(outside, link.c_str()));
  EXPECT_TRUE(KHostSystem::RemoveDirectory(link.c_str()));
  EXPECT_EQ(0, access(keep.c_str(), F_OK));
  EXPECT_FALSE(KHostSystem::RemoveDirectory(outside));
}

TEST(HostFiles, ExtensionCompare) {
  EXPECT_TRUE(KHostSystem::ExtensionCompare("a.LOG", "log"));
  EXPECT_FALSE(KHostSystem::ExtensionCompare("x.tar.gz", "tar"));
  EXPECT_FALSE(KHostSystem::ExtensionCompare("log", "log"));
  EXPECT_FALSE(KHostSystem::ExtensionCompare("..", ""));
  EXPECT_TRUE(KHostSystem::ExtensionCompare("..", "*"));
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
}

TEST(HostText, HashAndTrim) {
  EXPECT_EQ(0x5FFFCBE4u, KHostSystem::Hash("abc", 3, 0));
  EXPECT_EQ(1234u, KHostSystem::Hash("", 0, 1234));
  char text[] = "  x\t";
  EXPECT_STREQ("x", KHostSystem::StrTrim(text));
}

TEST(HostText, FromString) {
  EXPECT_EQ(31, from_string<int>("0x1F", 7));
  EXPECT_EQ(7, from_string<int>("abc", 7));
  EXPECT_EQ(7, from_string<int>("", 7));
  EXPECT_EQ(8, from_string<int>("010", 7));  // base 0: octal
  EXPECT_EQ(0xFFFFFFFFFFULL, from_string<unsigned long long>("0xFFFFFFFFFF", 0ULL));
  EXPECT_EQ(12L, from_string<long>("12abc", -1L));
  EXPECT_EQ(10L, from_string<long>(" 010", -1L));  // decimal through a stream
  EXPECT_EQ(-1L, from_string<long>("x", -1L));
  EXPECT_EQ("text", from_string(std::string("text"), std::string("fallback")));
  EXPECT_EQ("", from_string(std::string(""), "fallback"));
}

}  // namespace
