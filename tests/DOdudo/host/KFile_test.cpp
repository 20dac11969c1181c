#include "DOdudo/host/KFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

class KFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kfile_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { system(("rm -rf " + dir_).c_str()); }
  void Touch(const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  std::string dir_;
};

}  // namespace

TEST_F(KFileTest, ExistsAndFullPath) {
  EXPECT_TRUE(dodudo::file::Exists(dir_));
  EXPECT_FALSE(dodudo::file::Exists(dir_ + "/missing"));
  EXPECT_EQ(dodudo::file::FullPath(dir_ + "/missing"), "");
  mkdir((dir_ + "/sub").c_str(), 0755);
  Touch(dir_ + "/sub/a.txt");
  EXPECT_EQ(dodudo::file::FullPath(dir_ + "/sub/../sub/./a.txt"), dir_ + "/sub/a.txt");
  ASSERT_EQ(symlink("sub/a.txt", (dir_ + "/link").c_str()), 0);
  EXPECT_EQ(dodudo::file::FullPath(dir_ + "/link"), dir_ + "/sub/a.txt");
}

TEST_F(KFileTest, FilenameAndDirectoryPartsOfARelativePath) {
  mkdir((dir_ + "/logs").c_str(), 0755);
  Touch(dir_ + "/logs/a.txt");
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(dodudo::file::FilenamePart("logs/a.txt"), "a.txt");
  EXPECT_EQ(dodudo::file::DirectoryPart("logs/a.txt"), dir_ + "/logs");
  EXPECT_EQ(dodudo::file::FilenamePart("logs/none.txt"), "");
  ASSERT_EQ(chdir(previous), 0);
}

TEST_F(KFileTest, UniquifyInsertsTheCounterBeforeTheExtension) {
  std::string log = dir_ + "/a.log";
  EXPECT_EQ(dodudo::file::UniquifyFilename(log), log);
  Touch(log);
  EXPECT_EQ(dodudo::file::UniquifyFilename(log), dir_ + "/a.1.log");
  Touch(dir_ + "/a.1.log");
  EXPECT_EQ(dodudo::file::UniquifyFilename(log), dir_ + "/a.2.log");

  std::string out = dir_ + "/out";
  Touch(out);
  EXPECT_EQ(dodudo::file::UniquifyFilename(out), dir_ + "/out.1");
}

TEST_F(KFileTest, UniquifyIgnoresDotsInDirectoryNames) {
  mkdir((dir_ + "/run.d").c_str(), 0755);
  std::string out = dir_ + "/run.d/out";
  Touch(out);
  EXPECT_EQ(dodudo::file::UniquifyFilename(out), dir_ + "/run.d/out.1");
}

TEST_F(KFileTest, UniquifyFallsBackToTheTimeAfterAHundredNames) {
  std::string log = dir_ + "/b.log";
  Touch(log);
  for (int n = 1; n <= 99; ++n) Touch(dir_ + "/b." + std::to_string(n) + ".log");
  std::string name = dodudo::file::UniquifyFilename(log);
  EXPECT_FALSE(dodudo::file::Exists(name));
  // b.<seconds>.log
  ASSERT_EQ(name.rfind(dir_ + "/b.", 0), 0u);
  std::string middle = name.substr(dir_.size() + 3);
  ASSERT_GT(middle.size(), 4u);
  EXPECT_EQ(middle.substr(middle.size() - 4), ".log");
  EXPECT_GT(std::stol(middle), 1600000000L);
}
