// snlctl against an emulated board: each run starts snlctl under snlsim, which puts the
// scenario's board on the USB bus that the library scans while loading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunTool.h"
#include "support/TestIsolation.h"

using snltest::ToolResult;
using ::testing::HasSubstr;

namespace {

TEST(SnlctlBoard, CommandsAndKeepaliveReportWhatTheBoardAnswered) {
  SNL_REQUIRE_ISOLATION();
  if (std::string(SNLSIM_PATH).empty()) GTEST_SKIP() << "snlsim is not built here";
  snltest::TempDir dir;
  // A scenario file for snlsim with one board described by the given lines.
  auto scenario = [&](const std::string& board) {
    const std::string text = "[board]\n" + board;
    return dir.Write("board.ini", {text.begin(), text.end()});
  };
  const std::string sim = SNLSIM_PATH, ctl = SNLCTL_PATH;
  ToolResult list =
      snltest::RunTool({sim, scenario("serial = 12345\nstatus = 0x03\n"), "--", ctl, "list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("0      12345   2      2\n"));

  ToolResult bad = snltest::RunTool({sim, scenario("fail = 0x66:EPIPE\n"), "--", ctl, "keepalive",
                                     "0", "--interval", "20", "--count", "2"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_THAT(bad.err, HasSubstr("board 0: ping 1 failed\nsnlctl: board 0: ping 2 failed\n"));
  EXPECT_THAT(bad.out, HasSubstr("board 0: watchdog started, pinging every 20 ms\n"
                                 "board 0: watchdog stopped\nboard 0: 2 pings, 2 failed\n"));

  // Stopped from outside once it runs (as systemd does), keepalive still stops the watchdog.
  const char* script =
      "\"$0\" \"$1\" -- \"$2\" keepalive 0 --interval 50 >\"$3\" & "
      "for i in $(seq 600); do grep -q started \"$3\" && break; sleep 0.05; done; "
      "kill -TERM $(cat /proc/$!/task/$!/children); wait $!; s=$?; cat \"$3\"; exit $s";
  ToolResult term =
      snltest::RunTool({"sh", "-c", script, sim, scenario(""), ctl, dir.path + "/term.out"});
  EXPECT_EQ(term.exitCode, 0) << term.err;
  EXPECT_THAT(term.out, HasSubstr("board 0: Terminated received\nboard 0: watchdog stopped\n"));
}

}  // namespace
