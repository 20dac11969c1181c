// snlctl against emulated boards (SnlctlSim.h).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SnlctlSim.h"

using snltest::kAwait;
using snltest::SnlctlSim;
using snltest::ToolResult;
using ::testing::HasSubstr;

namespace {

TEST_F(SnlctlSim, ListAndKeepaliveReportWhatTheBoardAnswered) {
  ToolResult list = Run("[board]\nserial = 12345\nstatus = 0x03\n", "$CTL list");
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_THAT(list.out, HasSubstr("0      12345   2      2\n"));
  ToolResult bad = Run("[board]\nfail = 0x66:EPIPE\n", "$CTL keepalive 0 --interval 20 --count 2");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_THAT(bad.err, HasSubstr("board 0: ping 1 failed\nsnlctl: board 0: ping 2 failed\n"));
  EXPECT_THAT(bad.out, HasSubstr("board 0: watchdog started, pinging every 20 ms\n"
                                 "board 0: watchdog stopped\nboard 0: 2 pings, 2 failed\n"));
}

TEST_F(SnlctlSim, HelpVpdAndBadArgumentsTouchNoBoard) {
  const std::string vpd = dir.Write("image.vpd", std::vector<unsigned char>(132, 0));
  ToolResult r = Run("[board]\n",
                     "$CTL --help >/dev/null; $CTL vpd " + vpd + " --type 22 >/dev/null\n"
                     "$CTL ping 1x; $CTL keepalive 0,x --interval 5; $CTL frobnicate; true");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("board index 'x' is not a number"));
  EXPECT_EQ(Record(), "") << "nothing reached the board, not even a reset";
}

// Two boards kept alive by one process; one of them goes away after its second ping.
TEST_F(SnlctlSim, KeepaliveGivesUpOnABoardThatStopsAnswering) {
  ToolResult r = Run("[board]\nserial = 1\n[board]\nserial = 2\nunplug-after = 5\n",
                     "$CTL keepalive 0,1 --interval 20 --count 100");
  EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
  const std::string lost = "1", kept = "0";
  // Firmware check, VPD read, start and two pings: the sixth vendor request fails (ENODEV).
  std::string failures;
  for (int ping = 3; ping <= 7; ++ping)
    failures += "snlctl: board " + lost + ": ping " + std::to_string(ping) + " failed\n";
  EXPECT_THAT(r.err, HasSubstr(failures + "snlctl: board " + lost + ": stop failed"));
  EXPECT_THAT(r.err, HasSubstr("snlctl: board " + lost + ": 5 pings failed in a row: the board is "
                               "gone or stuck; giving up (exit status 3)"));
  EXPECT_THAT(r.out, HasSubstr("board " + kept + ": watchdog stopped\nboard " + kept +
                               ": 7 pings, 0 failed\n"));
  EXPECT_THAT(Record(), HasSubstr("CONTROL 40 65 value=0 index=0 length=0 timeout=500 -> 0"))
      << "the board still there is stopped";
}

// The keep-alive holds the boards: other commands refuse to disturb it, and it stops the
// watchdog before it writes anything, whether its output is gone (SIGPIPE), its session
// (SIGHUP) or systemd stops it (SIGTERM).
TEST_F(SnlctlSim, KeepaliveHoldsTheBoardsAndStopsTheWatchdogFirstOnEverySignal) {
  ToolResult r = Run(
      "[board]\n",
      // Output into a pipe whose reader has gone, then SIGTERM (--count only bounds a failure).
      "( $CTL keepalive 0 --interval 50 --count 600 2>$DIR/err1 & echo $! >$DIR/pid1; wait $!\n"
      "  echo $? >$DIR/status1 ) | head -1 >$DIR/first &\n"
      "await $DIR/first started\n"
      "$CTL list >$DIR/list.out 2>$DIR/list.err; echo $? >$DIR/list.status\n"
      "kill -TERM $(cat $DIR/pid1); await $DIR/status1 .\n"
      // A dropped session (SIGHUP), a stop from outside as systemd sends it (SIGTERM).
      "for sig in HUP TERM; do $CTL keepalive 0 --interval 50 --count 600 >$DIR/$sig 2>&1 &\n"
      "  await $DIR/$sig started; kill -$sig $!; wait $!; echo $? >>$DIR/$sig; done");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(dir.Read("status1"), "0\n") << dir.Read("err1") << "(141 is death by SIGPIPE)";
  EXPECT_EQ(dir.Read("list.status"), "4\n");
  EXPECT_THAT(dir.Read("list.err"),
              ::testing::MatchesRegex("snlctl: the boards are kept alive by snlctl keepalive 0 "
                                      "\\(pid [0-9]+\\); stop it first \\(systemctl stop "
                                      "snl-keepalive@...\\)\n"));
  for (const char* sig : {"HUP", "TERM"})
    EXPECT_THAT(dir.Read(sig), ::testing::EndsWith("\n0\n")) << sig;
  EXPECT_THAT(dir.Read("HUP"), HasSubstr("board 0: Hangup received\nboard 0: watchdog stopped\n"));
  EXPECT_THAT(dir.Read("TERM"), HasSubstr("Terminated received\nboard 0: watchdog stopped\n"));
  const std::string record = Record();
  auto count = [&](const std::string& line) {
    size_t n = 0;
    for (size_t at = record.find(line); at != record.npos; at = record.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("board=0 CONTROL 40 65 value=0 index=0 length=0 timeout=500 -> 0"), 3u)
      << "every run stopped the watchdog";
  EXPECT_EQ(count("RESET"), 3u) << "the refused list loaded nothing";
}

// One keep-alive per board, as two units run them, started at the same instant as at boot:
// neither disturbs the other, a command for a board nobody keeps alive runs beside them, and a
// command for a kept board is refused.
TEST_F(SnlctlSim, KeepalivesOfTwoBoardsRunSideBySide) {
  ToolResult r = Run(
      "[board]\nserial = 1\n[board]\nserial = 2\n[board]\nserial = 3\n",
      "$CTL keepalive 0 --interval 20 --count 3000 >$DIR/k0 2>&1 & p0=$!\n"
      "$CTL keepalive 1 --interval 20 --count 3000 >$DIR/k1 2>&1 & p1=$!\n"
      "await $DIR/k0 started; await $DIR/k1 started\n"
      "$CTL ping 2; $CTL status 0; echo \"status $?\"; $CTL list; echo \"list $?\"\n"
      "kill -TERM $p0 $p1; wait $p0; echo \"k0 $?\"; wait $p1; echo \"k1 $?\"");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("board 2: ping ok\nstatus 4\nlist 4\nk0 0\nk1 0\n"));
  EXPECT_THAT(r.err, ::testing::MatchesRegex(
                         "snlctl: board 0 is kept alive by snlctl keepalive 0 \\(pid [0-9]+\\); "
                         "stop it first \\(systemctl stop snl-keepalive@...\\)\n"
                         "snlctl: the boards are kept alive by snlctl keepalive [01] .*\n"));
  for (const char* k : {"k0", "k1"})
    EXPECT_THAT(dir.Read(k), ::testing::ContainsRegex("pings, 0 failed\n$")) << dir.Read(k);
  const std::string record = Record();
  for (const char* board : {"board=0 RESET", "board=1 RESET", "board=2 RESET"})
    EXPECT_EQ(record.find(board), record.rfind(board)) << board << " reset once only";
  // While one board is away for its reset, a process counting the boards in port order would
  // take the next board for the one it was given: one process loads at a time.
  const size_t reset0 = record.find("board=0 RESET"), reset1 = record.find("board=1 RESET");
  const size_t first = std::min(reset0, reset1), second = std::max(reset0, reset1);
  const std::string firstClaim =
      std::string(first == reset0 ? "board=0" : "board=1") + " CLAIMINTERFACE 0 -> 0";
  EXPECT_LT(record.find(firstClaim), second) << record;
}

// What may lie in /run/snl: the text of a keep-alive killed before it could clear it (its pid
// since reused, here by init), lock files with a second name (boards.lock linked from elsewhere;
// board1.lock a name of another file), a FIFO and a directory in place of board locks. None
// refuses a command (the odd board locks are covered by boards.lock), and no text is written into
// a file with another name.
TEST_F(SnlctlSim, StaleHolderTextsAndLinkedLockFilesAreNotTrusted) {
  ToolResult r = Run("[board]\nserial = 1\n",
                     "printf '1 keepalive 0\\n' >/run/snl/board0.lock\n"
                     "printf 'keep\\n' >/run/snl/victim; ln /run/snl/victim /run/snl/board1.lock\n"
                     ": >>/run/snl/boards.lock; ln /run/snl/boards.lock /run/snl/elsewhere\n"
                     "mkfifo /run/snl/board2.lock; mkdir /run/snl/board3.lock\n"
                     "$CTL status 1; echo \"status $?\"\n"
                     "$CTL status 2; echo \"status $?\"\n"
                     "$CTL status 3; echo \"status $?\"\n"
                     "flock -s /run/snl/boards.lock -c \"echo held >$DIR/held; sleep 1\" &\n"
                     "await $DIR/held held; $CTL list; echo \"list $?\"\n"
                     // A holder that writes terminal controls in place of its command.
                     "flock -x /run/snl/board0.lock -c \"printf '1 keepalive \\033]0;x\\007"
                     "\\302\\233\\n' >/run/snl/board0.lock; echo held >$DIR/held0; sleep 1\" &\n"
                     "await $DIR/held0 held; $CTL ping 0");
  EXPECT_EQ(r.exitCode, 4) << r.err;
  EXPECT_THAT(r.out, HasSubstr("status 2\nstatus 2\nstatus 2\n"));  // no such board: not refused
  EXPECT_THAT(r.out, HasSubstr("0      1       2      0\nlist 0\n"));
  std::string noBoard = " it is not on the bus or could not be opened (see snlctl list and "
                        "/var/log/tolma/snl.log)\n";
  EXPECT_EQ(r.err,
            "snlctl: no board 1:" + noBoard + "snlctl: no board 2:" + noBoard +
            "snlctl: no board 3:" + noBoard +
            "snlctl: waiting for the boards, held by another snlctl\n"
            "snlctl: board 0 is kept alive by snlctl keepalive ?]0;x??? (pid 1); stop it first "
            "(systemctl stop snl-keepalive@...)\n");
  EXPECT_EQ(snltest::RunTool({"cat", "/run/snl/victim"}).out, "keep\n");
}

// A command that has to wait for another one says so at once, naming the holder, and goes on
// when the board is free.
TEST_F(SnlctlSim, AWaitingCommandNamesTheProcessItWaitsFor) {
  ToolResult r = Run("[board]\nserial = 7\n",
                     "flock -x /run/snl/board0.lock -c 'printf \"%s ping 0\\n\" $$ "
                     ">/run/snl/board0.lock; echo $$ >'$DIR'/held; sleep 1' &\n"
                     "await $DIR/held .; echo \"holder $(cat $DIR/held)\"; $CTL status 0");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const size_t at = r.out.find("holder ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string pid = r.out.substr(at + 7, r.out.find('\n', at) - at - 7);
  EXPECT_EQ(r.err, "snlctl: waiting for board 0, held by pid " + pid + " (snlctl ping 0)\n");
}

TEST_F(SnlctlSim, SnlsimPassesSigtermOnAndRemovesItsTestbed) {
  const std::string scenario = dir.Write("boards.ini", std::string("[board]\n"));
  const std::string child = "echo \"$UMOCKDEV_DIR\" >\"$1\"; trap \"exit 7\" TERM\n"
                            "while :; do sleep 0.05; done\n";
  const std::string parent = kAwait +
                             "\"$1\" \"$2\" -- env -u LD_PRELOAD sh \"$3\" \"$4\" &\n"
                             "await \"$4\" /\n"
                             "kill -TERM $!; wait $!; s=$?\n"
                             "test -e \"$(cat \"$4\")\" && echo left behind; exit $s\n";
  ToolResult r = snltest::RunTool({"sh", dir.Write("parent.sh", parent), SNLSIM_PATH, scenario,
                                   dir.Write("child.sh", child), dir.path + "/testbed"});
  EXPECT_EQ(r.exitCode, 7) << r.err;
  EXPECT_EQ(r.out, "");
}

}  // namespace
