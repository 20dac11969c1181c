// snlctl against an emulated board: each run starts snlctl under snlsim, which puts the
// scenario's board on the USB bus that the library scans while loading.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RunTool.h"
#include "support/TestIsolation.h"

using ::testing::HasSubstr;
using snltest::ToolResult;

namespace {

class SnlctlBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    if (std::string(SNLSIM_PATH).empty()) GTEST_SKIP() << "snlsim is not built here";
  }
  void TearDown() override {
    for (const std::string& f : files_) std::filesystem::remove_all(std::filesystem::path(f).parent_path());
  }
  // Runs "snlsim SCENARIO -- snlctl ARGS" with one board described by the scenario lines.
  ToolResult Run(const std::string& board, const std::vector<std::string>& args,
                 const std::string& stopWhenPrinted = "") {
    std::string text = "[board]\n" + board;
    files_.push_back(snltest::WriteTempFile("board.ini", {text.begin(), text.end()}));
    std::vector<std::string> all = {files_.back(), "--", SNLCTL_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return snltest::RunTool(SNLSIM_PATH, all, stopWhenPrinted);
  }

 private:
  std::vector<std::string> files_;
};

TEST_F(SnlctlBoardTest, CommandsReportWhatTheBoardAnswered) {
  ToolResult list = Run("serial = 12345\nlinks = 2\nstatus = 0x03\n", {"list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("0      12345   2      2\n"));

  ToolResult status = Run("status = 0xFE\n", {"--debug", "status", "0"});
  EXPECT_EQ(status.out, "board 0: status 3\n");
  ToolResult configure = Run("", {"configure", "0", "30", "2"});
  EXPECT_EQ(configure.out, "board 0: configure ok\n");

  ToolResult missing = Run("", {"ping", "1"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_THAT(missing.err, HasSubstr("no board 1: 1 board was found (index 0)"));
  ToolResult silent = Run("fail = 0x66:EPIPE\n", {"status", "0"});
  EXPECT_EQ(silent.exitCode, 1);
  EXPECT_THAT(silent.err, HasSubstr("board 0: status 4 (no answer from the board)"));
}

TEST_F(SnlctlBoardTest, KeepaliveCountsPingsReportsFailuresAndStopsTheWatchdog) {
  ToolResult good = Run("", {"keepalive", "0", "--interval", "20", "--count", "3"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_THAT(good.out, HasSubstr("board 0: watchdog started, pinging every 20 ms\n"
                                  "board 0: watchdog stopped\nboard 0: 3 pings, 0 failed\n"));

  ToolResult bad = Run("fail = 0x66:EPIPE\n", {"keepalive", "0", "--interval", "20", "--count", "2"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_THAT(bad.err, HasSubstr("board 0: ping 1 failed\nsnlctl: board 0: ping 2 failed\n"));
  EXPECT_THAT(bad.out, HasSubstr("board 0: 2 pings, 2 failed\n"));

  ToolResult noStart = Run("fail = 0x64:EPIPE\n", {"keepalive", "0", "--interval", "20"});
  EXPECT_EQ(noStart.exitCode, 1);
  EXPECT_THAT(noStart.err, HasSubstr("start failed, nothing to keep alive"));

  ToolResult term = Run("", {"keepalive", "0", "--interval", "50"}, "watchdog started");
  EXPECT_EQ(term.exitCode, 0) << term.err;
  EXPECT_THAT(term.out, HasSubstr("board 0: Terminated received\nboard 0: watchdog stopped\n"));
}

}  // namespace
