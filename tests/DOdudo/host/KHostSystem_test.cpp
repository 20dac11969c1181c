// The operating-system layer: tick arithmetic, executable name, directory trees, hash and
// from_string.
#include "DOdudo/host/KHostSystem.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "tools/RunTool.h"

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

TEST(HostProcess, ExeNameOfThisTestBinary) {
  char real[PATH_MAX], buffer[PATH_MAX], tiny[5];
  ASSERT_NE(nullptr, realpath("/proc/self/exe", real));
  ASSERT_TRUE(KHostSystem::GetExeName(buffer, sizeof buffer, true));
  EXPECT_STREQ(real, buffer);
  ASSERT_TRUE(KHostSystem::GetExeName(buffer, sizeof buffer, false));
  EXPECT_STREQ(strrchr(real, '/') + 1, buffer);
  ASSERT_TRUE(KHostSystem::GetExeName(tiny, sizeof tiny, true));
  EXPECT_EQ(std::string(real).substr(0, 4), tiny);
  EXPECT_FALSE(KHostSystem::GetExeName(buffer, 0, true));
}

bool IsDir(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void Touch(const std::string& path) { std::ofstream(path).put('x'); }

// Trees are made with their missing parents and removed without following symbolic links.
TEST(HostTree, MakeAndRemove) {
  const snltest::TempDir temp;
  const std::string root = temp.path, outside = root + "/outside", keep = outside + "/keep.txt";
  const std::string tree = root + "/tree", link = root + "/link";
  EXPECT_FALSE(KHostSystem::MakeDirectory((tree + "/sub/deeper").c_str()));
  EXPECT_TRUE(IsDir(tree) && IsDir(tree + "/sub") && IsDir(tree + "/sub/deeper"));
  EXPECT_FALSE(KHostSystem::MakeDirectory((tree + "/sub/deeper").c_str()));  // exists already
  EXPECT_FALSE(KHostSystem::MakeDirectory((outside + "/").c_str()));
  EXPECT_TRUE(IsDir(outside));
  Touch(keep);
  EXPECT_TRUE(KHostSystem::MakeDirectory((keep + "/below").c_str()));
  EXPECT_TRUE(KHostSystem::MakeDirectory(nullptr));
  Touch(tree + "/top.log");
  Touch(tree + "/sub/deeper/leaf");
  ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/sub/link").c_str()));
  ASSERT_EQ(0, symlink("/nonexistent/target", (tree + "/dangling").c_str()));
  ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
  EXPECT_FALSE(KHostSystem::RemoveDirectory(tree.c_str()));
  EXPECT_NE(0, access(tree.c_str(), F_OK));
  EXPECT_EQ(0, access(keep.c_str(), F_OK));                 // the link's target survives
  EXPECT_TRUE(KHostSystem::RemoveDirectory(tree.c_str()));  // gone already
  // Named directly, a link to a directory fails and its target keeps its content, also when a
  // trailing slash would make the path resolve it.
  for (const std::string& path : {link, link + "/", link + "//"})
    EXPECT_TRUE(KHostSystem::RemoveDirectory(path.c_str())) << path;
  EXPECT_EQ(0, access(keep.c_str(), F_OK));
  EXPECT_EQ(0, access(link.c_str(), F_OK));
  EXPECT_FALSE(KHostSystem::RemoveDirectory(root.c_str()));
}

TEST(HostText, HashAndFromString) {
  EXPECT_EQ(0x5FFFCBE4u, KHostSystem::Hash("abc", 3, 0));
  EXPECT_EQ(1234u, KHostSystem::Hash("", 0, 1234));
  EXPECT_EQ(8, from_string<int>("010", 7));  // base 0: octal
  EXPECT_EQ(7, from_string<int>("abc", 7));
  EXPECT_EQ(10L, from_string<long>(" 010", -1L));  // decimal through a stream
}

}  // namespace
