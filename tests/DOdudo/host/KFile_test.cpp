#include "DOdudo/host/KFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
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
  void Touch(const std::string& name) { std::ofstream(dir_ + "/" + name).put('x'); }
  std::string dir_;
};

}  // namespace

TEST_F(KFileTest, PathsResolveThroughLinksAndRelativeNames) {
  EXPECT_FALSE(dodudo::file::Exists(dir_ + "/missing"));
  EXPECT_EQ(dodudo::file::FullPath(dir_ + "/missing"), "");
  mkdir((dir_ + "/logs").c_str(), 0755);
  Touch("logs/a.txt");
  ASSERT_EQ(symlink("logs/a.txt", (dir_ + "/link").c_str()), 0);
  EXPECT_EQ(dodudo::file::FullPath(dir_ + "/logs/../link"), dir_ + "/logs/a.txt");
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(dodudo::file::FilenamePart("logs/a.txt"), "a.txt");
  EXPECT_EQ(dodudo::file::DirectoryPart("logs/a.txt"), dir_ + "/logs");
  EXPECT_EQ(dodudo::file::FilenamePart("logs/none.txt"), "");
  ASSERT_EQ(chdir(previous), 0);
}

TEST_F(KFileTest, UniquifyInsertsTheCounterBeforeTheFileExtension) {
  EXPECT_EQ(dodudo::file::UniquifyFilename(dir_ + "/a.log"), dir_ + "/a.log");
  Touch("a.log");
  Touch("a.1.log");
  EXPECT_EQ(dodudo::file::UniquifyFilename(dir_ + "/a.log"), dir_ + "/a.2.log");
  Touch("out");
  EXPECT_EQ(dodudo::file::UniquifyFilename(dir_ + "/out"), dir_ + "/out.1");
  // A dot in a directory name is no extension.
  mkdir((dir_ + "/run.d").c_str(), 0755);
  Touch("run.d/out");
  EXPECT_EQ(dodudo::file::UniquifyFilename(dir_ + "/run.d/out"), dir_ + "/run.d/out.1");
}

TEST_F(KFileTest, UniquifyFallsBackToTheTimeAfterAHundredNames) {
  Touch("b.log");
  for (int n = 1; n <= 99; ++n) Touch("b." + std::to_string(n) + ".log");
  std::string name = dodudo::file::UniquifyFilename(dir_ + "/b.log");
  EXPECT_FALSE(dodudo::file::Exists(name));
  std::string stamp = name.substr(dir_.size() + 3);  // "<seconds>.log"
  EXPECT_EQ(name.substr(0, dir_.size() + 3), dir_ + "/b.");
  EXPECT_EQ(stamp.substr(stamp.size() - 4), ".log");
  EXPECT_GT(std::stoll(stamp), 1600000000LL);
}
