// Non-root use as the installed files set it up: the tmpfiles.d entry makes the log directory and
// the board lock the group's, and a member of the group runs snlctl on an emulated board. The
// test user and group exist only in this test process's private /etc.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "RunTool.h"
#include "support/SimShell.h"
#include "support/TestIsolation.h"

using snltest::RunTool;
using snltest::ToolResult;
using ::testing::HasSubstr;

namespace {

const std::string kUser = "snl-e2e";

// "<mode in octal> <owner> <group>" of path.
std::string ModeOf(const std::string& path) {
  const std::string out = RunTool({"stat", "-c", "%a %U %G", path}).out;
  return out.substr(0, out.find('\n'));
}

TEST(NonRoot, AGroupMemberListsAndKeepsAliveWithTheInstalledLayout) {
  SNL_REQUIRE_ISOLATION();
  if (std::string(SNLSIM_PATH).empty()) GTEST_SKIP() << "snlsim is not built here";
  if (!std::filesystem::exists(SNL_TMPFILES_CONF)) GTEST_SKIP() << "no system files configured";
  for (const char* tool : {"groupadd", "useradd", "setpriv", "systemd-tmpfiles"})
    if (std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) != 0)
      GTEST_SKIP() << tool << " is not installed";
  const std::string group = SNL_GROUP_NAME;
  ASSERT_EQ(0,
            std::system(("getent group " + group + " >/dev/null || groupadd -r " + group).c_str()));
  ASSERT_EQ(0, std::system(("useradd -M -s /bin/sh -g " + group + " " + kUser).c_str()));
  ToolResult tmpfiles = RunTool({"systemd-tmpfiles", "--create", SNL_TMPFILES_CONF});
  ASSERT_EQ(0, tmpfiles.exitCode) << tmpfiles.err;
  EXPECT_EQ("2775 root " + group, ModeOf("/var/log/tolma"));
  // Lock files of the group in a directory only root adds names to.
  EXPECT_EQ("755 root root", ModeOf("/run/snl"));
  for (const char* lock : {"boards", "load", "board0", "board7"})
    EXPECT_EQ("664 root " + group, ModeOf("/run/snl/" + std::string(lock) + ".lock")) << lock;

  snltest::TempDir dir;
  ASSERT_EQ(0, chmod(dir.path.c_str(), 0777));
  const std::string script =
      "$CTL list >$DIR/list.out 2>&1; echo $? >>$DIR/list.out\n"
      "$CTL keepalive 0 --interval 20 --count 3 >$DIR/ka.out 2>&1; echo $? >>$DIR/ka.out\n";
  const std::string board = "[board]\nserial = 4711\n";
  const std::vector<std::string> asUser = {"setpriv", "--reuid=" + kUser, "--regid=" + group,
                                           "--init-groups", "--"};
  std::vector<std::string> run = asUser;
  run.insert(run.end(), {SNLSIM_PATH, dir.Write("boards.ini", board), "--", "env", "-u",
                         "LD_PRELOAD", "CTL=" + snltest::SimProgram(SNLCTL_PATH), "DIR=" + dir.path,
                         "sh", dir.Write("run.sh", script)});
  ToolResult r = RunTool(run);
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_THAT(dir.Read("list.out"), HasSubstr("0      4711    2      0\n0\n"));
  EXPECT_THAT(dir.Read("ka.out"),
              HasSubstr("board 0: watchdog stopped\nboard 0: 3 pings, 0 failed\n0\n"));
  // The setgid log directory gives every log file the group; a board lock root's snlctl makes for
  // a board beyond the tmpfiles entry's gets the group of boards.lock (a member keeping board 9
  // alive later must be able to say so in the lock).
  EXPECT_THAT(ModeOf("/var/log/tolma/snl.log"), ::testing::EndsWith(" " + kUser + " " + group));
  RunTool({SNLCTL_PATH, "status", "9"});
  EXPECT_EQ("664 root " + group, ModeOf("/run/snl/board9.lock"));

  // Nothing the group can write lets a member make root's snlctl write another file: neither a
  // link in place of a log file nor one in place of the lock.
  std::ofstream("/etc/snl-e2e-victim") << "keep\n";
  std::vector<std::string> plant = asUser;
  plant.insert(plant.end(), {"ln", "-sf", "/etc/snl-e2e-victim", "/var/log/tolma/snl.log"});
  ASSERT_EQ(0, RunTool(plant).exitCode);
  EXPECT_EQ(0, RunTool({SNLCTL_PATH, "list"}).exitCode);
  // Nor can a member plant anything in /run/snl that would refuse root's commands: no link to a
  // lock, no FIFO or directory in place of a board lock, not even in place of a missing one.
  ASSERT_EQ(0, unlink("/run/snl/board3.lock"));
  for (std::vector<std::string> command :
       {std::vector<std::string>{"ln", "/run/snl/boards.lock", "/run/snl/second"},
        {"ln", "-sf", "/etc/snl-e2e-victim", "/run/snl/boards.lock"},
        {"mkfifo", "/run/snl/board3.lock"},
        {"mkdir", "/run/snl/board3.lock"}}) {
    std::vector<std::string> asMember = asUser;
    asMember.insert(asMember.end(), command.begin(), command.end());
    EXPECT_NE(0, RunTool(asMember).exitCode) << command[0] << " " << command.back();
  }
  ToolResult root = RunTool({SNLCTL_PATH, "list"});
  EXPECT_EQ(0, root.exitCode) << root.err;
  std::ifstream victim("/etc/snl-e2e-victim");
  EXPECT_EQ("keep\n", std::string(std::istreambuf_iterator<char>(victim), {}));
}

}  // namespace
