// The retention rule of the installed tmpfiles entry: rotated files older than the age go, new
// ones and live files stay, however old.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "RunTool.h"
#include "support/TestIsolation.h"

namespace {

void WriteAged(const std::string& path, int days) {
  std::ofstream(path) << "line\n";
  const time_t when = std::time(nullptr) - static_cast<time_t>(days) * 86400;
  const utimbuf times{when, when};
  ASSERT_EQ(0, utime(path.c_str(), &times)) << path;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

TEST(Retention, RotatedFilesOlderThanTheAgeAreRemovedAndLiveOnesKept) {
  SNL_REQUIRE_ISOLATION();  // cleans the (private) /var/log/tolma
  if (snltest::RunTool({"sh", "-c", "command -v systemd-tmpfiles"}).exitCode != 0)
    GTEST_SKIP() << "no systemd-tmpfiles";
  const std::string log = "/var/log/tolma";
  ASSERT_EQ(0, snltest::RunTool({"mkdir", "-p", log + "/old/remote/10.0.0.7"}).exitCode);
  WriteAged(log + "/old/snl.20260101-000000.log", 40);
  WriteAged(log + "/old/remote/10.0.0.7/app.20260101-000000.log", 40);
  WriteAged(log + "/old/snl.20261201-000000.log", 2);
  WriteAged(log + "/quiet.log", 400);  // a live file nobody wrote for a year
  // The installed entry's retention lines alone: the others name the group, which need not
  // exist here.
  snltest::TempDir dir;
  ASSERT_EQ(0, std::system(("grep '^e ' " SNL_TMPFILES_CONF " >" + dir.path + "/r.conf").c_str()));
  snltest::ToolResult clean = snltest::RunTool({"systemd-tmpfiles", "--clean", dir.path + "/r.conf"});
  EXPECT_EQ(clean.exitCode, 0) << clean.err;
  EXPECT_FALSE(Exists(log + "/old/snl.20260101-000000.log"));
  EXPECT_FALSE(Exists(log + "/old/remote/10.0.0.7/app.20260101-000000.log"));
  EXPECT_TRUE(Exists(log + "/old/snl.20261201-000000.log"));
  EXPECT_TRUE(Exists(log + "/quiet.log"));
}

}  // namespace
