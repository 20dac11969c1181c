// snlctl keepalive's health checks on emulated boards: pings stop while a check fails and resume
// when it passes again, with real check commands, pid files and heartbeat files. The commands
// run as "env -u LD_PRELOAD ...": a thread-sanitized snlctl passes its preloaded runtime on,
// which an uninstrumented shell cannot carry.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "SnlctlSim.h"

using snltest::SnlctlSim;
using snltest::ToolResult;
using ::testing::HasSubstr;

namespace {

const std::string kPings = "CONTROL c0 66";
const std::string kStop = "CONTROL 40 65";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The number after prefix at its first place in text, -1 when absent.
long NumberAfter(const std::string& text, const std::string& prefix) {
  const size_t at = text.find(prefix);
  return at == std::string::npos ? -1 : std::stol(text.substr(at + prefix.size()));
}

std::string Withheld(long ping) {
  return "snlctl: board 0: ping " + std::to_string(ping) +
         " withheld, and the next ones while the checks fail: the watchdog stays armed and "
         "resets the machine when its time runs out\n";
}

// A check script that notes when it starts and leaves a child behind in its process group.
const std::string kHang =
    "date +%s%N >>\"$1/starts\"; sleep 30 & echo $! >>\"$1/children\"; wait\n";
// Prints "alive PID" for every child of the hanging checks still there (not a zombie: not
// every init reaps the orphans).
const std::string kAlive =
    "for c in $(cat $DIR/children); do grep -qv ') Z ' /proc/$c/stat 2>/dev/null && "
    "echo \"alive $c\"; done; true\n";

std::vector<long long> Lines(const std::string& text) {
  std::vector<long long> values;
  std::istringstream in(text);
  for (long long v; in >> v;) values.push_back(v);
  return values;
}

TEST_F(SnlctlSim, KeepaliveWithholdsPingsWhileACheckFailsAfterTheGraceAndResumes) {
  const std::string check = "env -u LD_PRELOAD test -e " + dir.path + "/ok";
  ToolResult r = Run("[board]\n",
                     "touch $DIR/ok\n"
                     "$CTL keepalive 0 --interval 1000 --check-timeout 900 --grace 2 --check \"" +
                         check +
                         "\" >$DIR/out 2>$DIR/err &"
                         " k=$!\n"
                         "await $DIR/out started; sleep 1.5; rm $DIR/ok; await $DIR/err withheld\n"
                         "grep -c '" +
                         kPings +
                         "' $DIR/record.txt >$DIR/n1; sleep 2.5\n"
                         "grep -c '" +
                         kPings +
                         "' $DIR/record.txt >$DIR/n2\n"
                         "touch $DIR/ok; await $DIR/err resumed; sleep 1.5\n"
                         "grep -c '" +
                         kPings +
                         "' $DIR/record.txt >$DIR/n3\n"
                         "kill -TERM $k; wait $k; echo \"exit $?\"");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "exit 0\n");
  const std::string err = dir.Read("err"), out = dir.Read("out");
  EXPECT_EQ(dir.Read("n1"), dir.Read("n2")) << "no ping while the check fails\n" << err;
  EXPECT_LT(std::stol(dir.Read("n2")), std::stol(dir.Read("n3"))) << "pings resumed";
  const long first = NumberAfter(err, "failed before ping ");
  ASSERT_GT(first, 1) << err;
  auto failed = [&](long ping) {
    return "snlctl: health check failed before ping " + std::to_string(ping) + ": check '" + check +
           "': exit status 1\n";
  };
  EXPECT_THAT(err, ::testing::StartsWith(
                       failed(first) + "snlctl: failure 1 in a row let pass (--grace 2)\n" +
                       failed(first + 1) + "snlctl: failure 2 in a row let pass (--grace 2)\n" +
                       failed(first + 2) + Withheld(first + 2)));
  const long resumed = NumberAfter(err, "pings resumed at ping ");
  EXPECT_THAT(err, ::testing::EndsWith(failed(resumed - 1) +
                                       "snlctl: board 0: health checks pass again, pings "
                                       "resumed at ping " +
                                       std::to_string(resumed) + "\n"));
  const size_t pinged = Count(Record(), kPings);
  EXPECT_THAT(out, HasSubstr("board 0: Terminated received\nboard 0: watchdog stopped\n"
                             "board 0: " +
                             std::to_string(pinged) + " pings, 0 failed, " +
                             std::to_string(resumed - first - 2) + " withheld\n"));
}

// Keep-alives whose check starts failing after some pings: each is stopped with SIGTERM once the
// pings are withheld.
class FailingCheck : public SnlctlSim {
 protected:
  // Runs setup, a keepalive with options, then action once it has started.
  void Run(const std::string& setup, const std::string& options, const std::string& action) {
    ToolResult r = SnlctlSim::Run(
        "[board]\n", setup + "$CTL keepalive 0 --interval 100 " + options +
                         " >$DIR/out 2>$DIR/err & k=$!\nawait $DIR/out started; " + action +
                         "\nawait $DIR/err withheld; kill -TERM $k; wait $k; echo \"exit $?\"");
    EXPECT_EQ(r.out, "exit 0\n") << r.err;
  }
  // The pings stopped at the first failure, after at least `passed` good ones, which said what.
  void ExpectPingsStoppedAt(const std::string& failure, long passed) {
    const std::string err = dir.Read("err");
    const long ping = NumberAfter(err, "failed before ping ");
    EXPECT_GT(ping, passed) << err;
    EXPECT_THAT(
        err, ::testing::StartsWith("snlctl: health check failed before ping " +
                                   std::to_string(ping) + ": " + failure + "\n" + Withheld(ping)));
    EXPECT_EQ(Count(Record(), kPings), static_cast<size_t>(ping - 1));
  }
};

TEST_F(FailingCheck, KeepaliveStopsPingingWhenThePidFileProcessIsKilled) {
  Run("sleep 1000 & s=$!; echo $s >$DIR/app.pid; echo $s >$DIR/spid\n", "--pidfile $DIR/app.pid",
      "sleep 0.3; kill $s; wait $s");
  const std::string pid = dir.Read("spid").substr(0, dir.Read("spid").size() - 1);
  ExpectPingsStoppedAt("pidfile " + dir.path + "/app.pid: process " + pid + " is not running", 2);
}

// The process dies and its pid goes to another process (forced through ns_last_pid) while the
// pid file stays as it was: the new process is not taken for the old one.
TEST_F(SnlctlSim, KeepaliveNoticesAPidReusedWhileThePidFileStayed) {
  ToolResult r =
      Run("[board]\n",
          "sleep 1000 & s=$!; echo $s >$DIR/app.pid\n"
          "$CTL keepalive 0 --interval 100 --pidfile $DIR/app.pid >$DIR/out 2>$DIR/err & k=$!\n"
          "await $DIR/out started; sleep 0.3; kill $s; wait $s\n"
          "for i in $(seq 50); do echo $((s - 1)) >/proc/sys/kernel/ns_last_pid || break\n"
          "  sleep 1000 & n=$!; [ $n = $s ] && break; kill $n; wait $n; done\n"
          "[ $n = $s ] && echo reused >$DIR/reuse && await $DIR/err 'pid was reused'\n"
          "kill -TERM $k; wait $k; kill $n; echo $s");
  if (dir.Read("reuse").empty()) GTEST_SKIP() << "the pid could not be handed out again";
  const std::string pid = r.out.substr(0, r.out.size() - 1);
  EXPECT_THAT(dir.Read("err"),
              HasSubstr(": pidfile " + dir.path + "/app.pid: process " + pid +
                        " is not the one that was running (the pid was reused)\n"));
}

TEST_F(FailingCheck, KeepaliveStopsPingingWhenTheHeartbeatStopsChanging) {
  // A file touched every 100 ms passes for 1.5 s.
  Run("( while :; do touch $DIR/hb; sleep 0.1; done ) & t=$!\n", "--heartbeat $DIR/hb:1",
      "sleep 1.5; kill $t");
  ExpectPingsStoppedAt("heartbeat " + dir.path + "/hb: not changed in the last 1 s", 10);
}

// A check that hangs is killed with its process group at its limit and counts as a failure;
// the pings (let pass by the grace here) keep their schedule.
TEST_F(SnlctlSim, AHangingCheckIsKilledAtItsLimitAndTheNextPingIsOnTime) {
  const std::string check = "env -u LD_PRELOAD sh " + dir.Write("hang.sh", kHang) + " " + dir.path;
  ToolResult r = Run("[board]\n",
                     "$CTL keepalive 0 --interval 2000 --check-timeout 1000 --count 3 "
                     "--grace 5 --check \"" +
                         check + "\"; echo \"exit $?\"\n" + kAlive);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("board 0: watchdog stopped\nboard 0: 3 pings, 0 failed\nexit 0\n"));
  EXPECT_THAT(r.out, ::testing::Not(HasSubstr("alive"))) << "the check's group was killed";
  std::string expected;
  for (int ping = 1; ping <= 3; ++ping)
    expected += "snlctl: health check failed before ping " + std::to_string(ping) + ": check '" +
                check + "': no answer within 1000 ms, killed\nsnlctl: failure " +
                std::to_string(ping) + " in a row let pass (--grace 5)\n";
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(Count(Record(), kPings), 3u);
  const std::vector<long long> starts = Lines(dir.Read("starts"));
  ASSERT_EQ(starts.size(), 3u);
  for (size_t i = 1; i < starts.size(); ++i) {
    const long long gapMs = (starts[i] - starts[i - 1]) / 1000000;
    EXPECT_GT(gapMs, 1600) << "one round per interval";
    EXPECT_LT(gapMs, 3500) << "the next round did not wait for the hanging check";
  }
}

// SIGTERM while a check runs and the pings are withheld: the watchdog is stopped at once, not
// after the check's limit, and the check's process group is killed.
TEST_F(SnlctlSim, TheStopSignalDuringAFailingCheckStopsTheWatchdogFirst) {
  const std::string check = "env -u LD_PRELOAD sh " + dir.Write("hang.sh", kHang) + " " + dir.path;
  ToolResult r = Run(
      "[board]\n",
      "$CTL keepalive 0 --interval 3000 --check-timeout 2500 --check \"" + check +
          "\" >$DIR/out 2>$DIR/err & k=$!\n"
          "await $DIR/err withheld; while [ $(wc -l <$DIR/starts) -lt 2 ]; do sleep 0.05; done\n"
          "date +%s%N >$DIR/term; kill -TERM $k; wait $k; echo \"exit $?\"; date +%s%N "
          ">>$DIR/term\n"
          "sleep 0.2\n" +
          kAlive);
  EXPECT_EQ(r.out, "exit 0\n") << r.err;
  const std::vector<long long> term = Lines(dir.Read("term"));
  ASSERT_EQ(term.size(), 2u);
  EXPECT_LT((term[1] - term[0]) / 1000000, 1500) << "did not wait for the check's 2.5 s limit";
  EXPECT_EQ(dir.Read("out"),
            "board 0: watchdog started, pinging every 3000 ms\n"
            "health checks before each ping: check '" +
                check +
                "' (2500 ms); grace 0\n"
                "board 0: Terminated received\nboard 0: watchdog stopped\n"
                "board 0: 0 pings, 0 failed, 1 withheld\n");
  EXPECT_EQ(dir.Read("err"), "snlctl: health check failed before ping 1: check '" + check +
                                 "': no answer within 2500 ms, killed\n" + Withheld(1));
  const std::string record = Record();
  EXPECT_EQ(Count(record, kPings), 0u);
  EXPECT_EQ(Count(record, kStop), 1u);
}

// What each check says about unusable input, in one round: links are not followed, files and
// directories every user could write are not trusted, a pid file owned by a user may only name
// that user's process, and a check command's output is shown bounded and without controls.
TEST_F(SnlctlSim, EveryCheckSaysWhatItSaw) {
  const std::string chatty = dir.Write(
      "chatty.sh", std::string("printf 'line one\\n\\033]0;title\\007 two\\n'\n"
                               "seq 30; head -c 100000 /dev/zero | tr '\\0' x; exit 4\n"));
  const std::string fds =
      dir.Write("fds.sh", std::string("! ls -l /proc/$$/fd | grep -e bus/usb -e '[.]lock'\n"));
  const std::string d = dir.path;
  ToolResult r =
      Run("[board]\n",
          "echo $$ >$DIR/good.pid; ln -s good.pid $DIR/link.pid\n"
          "echo $$ >$DIR/open.pid; chmod 666 $DIR/open.pid; printf abc >$DIR/junk.pid\n"
          "echo 1 >$DIR/init.pid; chown 65534 $DIR/init.pid\n"
          "mkdir $DIR/shared; chmod 777 $DIR/shared; echo $$ >$DIR/shared/app.pid\n"
          "touch $DIR/hb; ln -s hb $DIR/hblink\n"
          "$CTL keepalive 0 --interval 2000 --count 1 --min-memory 1073741824 --max-load 1000000 "
          "--check \"env -u LD_PRELOAD sh " +
              chatty +
              "\" --check /nonexistent/check "
              // Passes only without a shell: test gets "-n" and ";false".
              "--check \"env -u LD_PRELOAD test -n ;false\" "
              // Passes when the check has none of snlctl's board files and locks open.
              "--check \"env -u LD_PRELOAD sh " +
              fds +
              "\" "
              "--pidfile $DIR/good.pid --pidfile $DIR/link.pid --pidfile $DIR/open.pid "
              "--pidfile $DIR/junk.pid --pidfile $DIR/init.pid --pidfile $DIR/shared/app.pid "
              "--pidfile $DIR/none.pid --heartbeat $DIR/hb:60 --heartbeat $DIR/hblink:60 "
              "--heartbeat $DIR/nohb:60; echo \"exit $?\"");
  EXPECT_THAT(r.out, HasSubstr("board 0: 0 pings, 0 failed, 1 withheld\nexit 0\n")) << r.err;
  const std::string said = "snlctl: check 'env -u LD_PRELOAD sh " + chatty + "' said: ";
  const std::string before = "snlctl: health check failed before ping 1: ";
  std::string numbers;  // 16 lines shown in all
  for (int line = 1; line <= 14; ++line) numbers += said + std::to_string(line) + "\n";
  EXPECT_THAT(r.err,
              ::testing::MatchesRegex(
                  before + "check 'env -u LD_PRELOAD sh " + chatty + "': exit status 4\n" + said +
                  "line one\n" + said + "\\?]0;title\\? two\n" + numbers + said +
                  "\\.\\.\\. \\(100048 more bytes not shown\\)\n" + before +
                  "check '/nonexistent/check': cannot run: No such file or directory\n" + before +
                  "pidfile " + d + "/link.pid: is a symbolic link, not followed\n" + before +
                  "pidfile " + d + "/open.pid: is writable by every user\n" + before + "pidfile " +
                  d + "/junk.pid: holds no pid \\('abc'\\)\n" + before + "pidfile " + d +
                  "/init.pid: process 1 does not run as uid "
                  "65534, the owner of the pid file\n" +
                  before + "pidfile " + d +
                  "/shared/app.pid: its directory is writable "
                  "by every user\n" +
                  before + "pidfile " + d +
                  "/none.pid: cannot open: No such file or "
                  "directory\n" +
                  before + "heartbeat " + d + "/hblink: is a symbolic link, not followed\n" +
                  before + "heartbeat " + d +
                  "/nohb: cannot open: No such file or "
                  "directory\n" +
                  before + "memory: [0-9]+ MiB available, below 1073741824 MiB\n" + Withheld(1)));
}

// In a directory like /tmp (every user may write, sticky) any user can create the pid file or
// heartbeat before the application does, name a process of their own in it or keep touching it,
// and the application cannot replace it: such files pass only when root or snlctl's user owns
// them.
TEST_F(SnlctlSim, FilesAUserCouldPlantInAStickyDirectoryAreNotTrusted) {
  const std::string d = dir.path + "/tmp";
  ToolResult r = Run(
      "[board]\n",
      "mkdir $DIR/tmp; chmod 1777 $DIR/tmp\n"
      "setpriv --reuid 65534 --regid 65534 --clear-groups sleep 1000 & s=$!\n"
      "echo $s >$DIR/tmp/app.pid; chown 65534 $DIR/tmp/app.pid; echo $$ >$DIR/tmp/root.pid\n"
      "touch $DIR/tmp/hb $DIR/tmp/roothb; chown 65534 $DIR/tmp/hb\n"
      "$CTL keepalive 0 --interval 1000 --count 1 --pidfile $DIR/tmp/app.pid --pidfile "
      "$DIR/tmp/root.pid --heartbeat $DIR/tmp/hb:60 --heartbeat $DIR/tmp/roothb:60 >$DIR/out; "
      "echo \"exit $?\"; kill $s");
  EXPECT_EQ(r.out, "exit 0\n") << r.err;
  EXPECT_THAT(dir.Read("out"), HasSubstr("board 0: 0 pings, 0 failed, 1 withheld\n"));
  const std::string before = "snlctl: health check failed before ping 1: ";
  const std::string planted = ": is owned by uid 65534 in a directory every user may write to\n";
  EXPECT_EQ(r.err, before + "pidfile " + d + "/app.pid" + planted + before + "heartbeat " + d +
                       "/hb" + planted + Withheld(1));
}

// Started with stdout and stderr closed (a careless init script), keepalive must not let the
// board locks or a board's device file take descriptors 1 and 2: every failure message would
// be written into them, round after round, filling /run.
TEST_F(SnlctlSim, ClosedOutputsWriteIntoNoOtherFile) {
  ToolResult r = Run("[board]\n",
                     "$CTL keepalive 0 --interval 100 --count 3 --check \"env -u LD_PRELOAD "
                     "false\" <&- >&- 2>&-; echo \"exit $?\"; cat /run/snl/* | wc -c");
  EXPECT_EQ(r.out, "exit 0\n0\n") << r.err;
  EXPECT_EQ(Count(Record(), kStop), 1u);
}

TEST_F(SnlctlSim, ShellChecksRunUnderShAndPlainOnesWithout) {
  if (dlsym(RTLD_DEFAULT, "__tsan_init") != nullptr)
    GTEST_SKIP() << "/bin/sh cannot run under the thread sanitizer's runtime";
  ToolResult r = Run("[board]\n",
                     "$CTL keepalive 0 --interval 2000 --count 1 --check-shell 'echo \"$0\"; "
                     "exit 3' 2>&1");
  EXPECT_THAT(r.out, HasSubstr("snlctl: health check failed before ping 1: shell check 'echo "
                               "\"$0\"; exit 3': exit status 3\nsnlctl: shell check 'echo "
                               "\"$0\"; exit 3' said: /bin/sh\n"));
}

TEST_F(SnlctlSim, BadCheckOptionsTouchNoBoard) {
  ToolResult r = Run("[board]\n",
                     "for o in '--heartbeat hb:5' '--heartbeat /x/hb' '--check-timeout 100' "
                     "'--grace 1 --grace 2' '--max-load -3' '--min-memory 0' '--check'; do\n"
                     "  $CTL keepalive 0 --interval 100 $o; echo $?; done\n"
                     "$CTL keepalive 0 --interval 100 --check ' '; echo $?");
  EXPECT_EQ(r.out, "2\n2\n2\n2\n2\n2\n2\n2\n");
  EXPECT_EQ(r.err,
            "snlctl: --heartbeat needs an absolute path, not 'hb'\n"
            "snlctl: --heartbeat needs FILE:SECONDS, not '/x/hb'\n"
            "snlctl: check timeout 100 out of range (1 to 99)\n"
            "snlctl: --grace given twice\n"
            "snlctl: load limit '-3' is not a positive number\n"
            "snlctl: memory limit 0 out of range (1 to 1073741824)\n"
            "snlctl: --check needs a value\n"
            "snlctl: --check needs a command\n");
  EXPECT_EQ(Record(), "") << "nothing reached the board, not even a reset";
}

}  // namespace
