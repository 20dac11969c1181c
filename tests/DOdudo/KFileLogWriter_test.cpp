// The file writer on real files: naming, lazy open, shared files, rotation, date banners, I/O
// failures (read-only and full file systems) and the log directory's write test.
#include "DOdudo/KFileLogWriter.h"

#include <gmock/gmock.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "DOdudo/KCrashLogger.h"
#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"
#include "support/WallClock.h"

using logtest::Exists;
using logtest::LogLines;
using testing::ElementsAre;
using testing::EndsWith;
using KFileLogWriterTest = snltest::IsolatedTest;
using KLogDirectoryTest = snltest::IsolatedTest;

namespace {

std::vector<std::string> OldFiles() { return logtest::Glob("/var/log/tolma/old/snl.*"); }

KFileLogWriter* FileWriter(KLogWriter* writer) { return dynamic_cast<KFileLogWriter*>(writer); }

// Makes a directory of the log tree read-only (or writable again) within this test's namespace.
void SetReadOnly(const char* path, bool readOnly) {
  if (readOnly) mount(path, path, nullptr, MS_BIND, nullptr);
  unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
  ASSERT_EQ(0, mount(nullptr, path, nullptr, flags, nullptr));
}

TEST_F(KFileLogWriterTest, FileNamesLazyOpenContainmentAndSharedFiles) {
  const std::pair<const char*, const char*> rows[] = {
      // writer name, file
      {"snl", "snl.log"},
      {"sub/x", "sub/x.log"},
      {"a.log.b", "a.log.b"},
      {"../../escaped", "escaped.log"},  // never leaves the dir
      {"sub/../up", "up.log"}};
  KLogger keep(klogSNL, -1, "SNL", "snl", 0, false);
  EXPECT_FALSE(Exists("/var/log/tolma/snl.log"));  // opened by the first line only
  for (const auto& [name, file] : rows) {
    KLogger(klogSNL, -1, "SNL", name, 0, false).Notice("%s", name);
    EXPECT_THAT(LogLines(file), ElementsAre(std::string("N|<time>| ") + name));
  }
  for (const char* path :
       {"/var/log/tolma/a.log.b.log", "/var/escaped.log", "/var/log/escaped.log"})
    EXPECT_FALSE(Exists(path)) << path;
  // Files shared by every process are closed after each line.
  KLogger system(klogSystem, -1, "SYS", "system", 0, false);
  system.Notice("y");
  EXPECT_TRUE(FileWriter(keep.Writer())->IsOpen());
  EXPECT_FALSE(FileWriter(system.Writer())->IsOpen());
  EXPECT_FALSE(FileWriter(KLogManager::ErrorWriter())->IsOpen());  // messages.log
}

TEST_F(KFileLogWriterTest, RotationPastMaxLogFileSize) {
  logtest::WriteConfig("MaxLogFileSize=1000\n[SNL]\nValue=true\n");
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  std::string body(68, 'a');
  int lines = 0;
  while (OldFiles().empty() && lines < 100) snl.Notice("%03d %s", lines++, body.c_str());
  ASSERT_EQ(1u, OldFiles().size());
  // 100-byte lines: the eleventh finds 1000 bytes (not rotated), the twelfth finds 1100.
  EXPECT_EQ(12, lines);
  std::string old = OldFiles()[0];
  EXPECT_TRUE(std::regex_match(old, std::regex(R"(/var/log/tolma/old/snl\.\d{8}-\d{6}\.log)")));
  EXPECT_EQ(1100u, logtest::ReadFile(old).size());
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| 011 " + body));
  // Two rotations within one second keep both files.
  FileWriter(snl.Writer())->Rotate();
  FileWriter(snl.Writer())->Rotate();
  EXPECT_EQ(3u, OldFiles().size());
}

TEST_F(KFileLogWriterTest, DateBannerWhenTheDayChanges) {
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  snl.Notice("before");
  dodudo::time::KSystemTime now;
  KHostSystem::GetTime(&now);
  // A day change writes one banner; the same day again writes none.
  FileWriter(snl.Writer())->CheckDay(now.day == 1 ? 2 : 1);
  FileWriter(snl.Writer())->CheckDay(now.day == 1 ? 2 : 1);
  snl.Notice("after midnight");  // back to today: the second banner
  std::string banner = "\n\n*****[ DATE ]" + std::string(21, '*') + "/ <date> /*****\n";
  std::string text =
      std::regex_replace(logtest::NoTime(logtest::ReadFile("/var/log/tolma/snl.log")),
                         std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)"), "<date>");
  EXPECT_EQ("N|<time>| before\n" + banner + banner + "N|<time>| after midnight\n", text);
}

// Two failures side by side: a file that cannot be opened (EROFS; its line waits) and a write
// into a full file system (ENOSPC; the line is lost). Each disables its file for a period with
// one syslog message per period, drops the lines meanwhile and reports the gap once it writes.
// A failed write of lines is reported as "vfprintf" whichever call wrote them out.
TEST_F(KFileLogWriterTest, IoFailuresDisableTheFileAndReportTheGap) {
  logtest::SyslogCapture syslog;
  KFileLogWriter::SecondsDisabledOnError = 2;
  mkdir("/var/log/tolma/ro", 0755);
  SetReadOnly("/var/log/tolma/ro", true);
  mkdir("/var/log/tolma/fullC", 0755);
  ASSERT_EQ(0, mount("tmpfs", "/var/log/tolma/fullC", "tmpfs", 0, "size=16k"));
  std::ofstream("/var/log/tolma/fullC/filler") << std::string(12 * 1024, 'f');
  KLogger ro(klogSNL, -1, "SNL", "ro/x", 0, false);
  KLogger full(klogSNL, -1, "SNL", "fullC/e", 0, false);
  ro.Notice("waiting");
  ro.Notice("dropped while disabled");
  for (int i = 0; i < 20 && syslog.Messages().size() < 2; ++i) full.Notice("%0500d", i);
  full.Notice("dropped");
  EXPECT_THAT(syslog.Messages(),
              ElementsAre(EndsWith("fopen(3) failed: (30) Read-only file system. Log ro/x "
                                   "disabled by 30 seconds.\n"),
                          EndsWith("vfprintf(3) failed: (28) No space left on device. Log fullC/e "
                                   "disabled by 30 seconds.\n")));
  EXPECT_EQ(0, syslog.Messages()[0].find("<12>"));  // LOG_USER | LOG_WARNING
  sleep(2);
  ro.Notice("dropped, still failing");  // one more report for the new period
  EXPECT_EQ(3u, syslog.Messages().size());
  SetReadOnly("/var/log/tolma/ro", false);
  unlink("/var/log/tolma/fullC/filler");
  sleep(2);
  ro.Notice("current");
  full.Notice("after");
  EXPECT_EQ(3u, syslog.Messages().size());
  auto gap = [](const std::string& error, const std::string& tail) {
    return std::regex(R"(\n\*{5}\[ I/O ERROR \]\*{5} [\d/]{10} [\d:]{8} \*{5} Lost messages )"
                      R"(since [\d/]{10} [\d:]{8}, due to write error )" +
                      error + R"(\.\n\n)" + tail + "$");
  };
  std::string roText = logtest::NoTime(logtest::ReadFile("/var/log/tolma/ro/x.log"));
  EXPECT_TRUE(std::regex_match(
      roText, gap(R"(\(30\) Read-only file system)", "N.<time>. waiting\nN.<time>. current\n")));
  std::string fullText = logtest::NoTime(logtest::ReadFile("/var/log/tolma/fullC/e.log"));
  EXPECT_TRUE(
      std::regex_search(fullText, gap(R"(\(28\) No space left on device)", "N.<time>. after\n")));
  EXPECT_EQ(std::string::npos, (roText + fullText).find("dropped"));
  // A shared file, written and closed line by line, in a full log directory.
  KLogger system(klogSystem, -1, "SYS", "system", 0, false);
  system.Notice("before");
  ASSERT_EQ(0, mount(nullptr, "/var/log", nullptr, MS_REMOUNT, "size=1m"));
  std::ofstream("/var/log/tolma/filler") << std::string(1 << 20, 'f');
  for (int i = 0; i < 20 && syslog.Messages().size() < 4; ++i) system.Notice("%0500d", i);
  EXPECT_THAT(syslog.Messages().back(),
              EndsWith("vfprintf(3) failed: (28) No space left on device. Log system disabled "
                       "by 30 seconds.\n"));
}

// A second user (uid 4242, in this test's namespace) holds the live file's lock for as long as it
// likes, and the file claims more than MaxLogFileSize again after every line (as a member of the
// log group can make it with a sparse truncate). No line waits for the lock, and rotations stay
// rationed: a burst, then one per 10 s, instead of one per line.
TEST_F(KFileLogWriterTest, AHeldLockAndASizeClaimStallNoLine) {
  if (std::system("command -v setpriv >/dev/null && command -v flock >/dev/null") != 0)
    GTEST_SKIP() << "setpriv or flock is not installed";
  logtest::WriteConfig("MaxLogFileSize=100000\n[SNL]\nValue=true\n");
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  snl.Notice("first");
  const char* live = "/var/log/tolma/snl.log";
  ASSERT_EQ(0, chmod(live, 0644));  // the member opens it to lock it, as the group can
  pid_t holder = fork();
  if (holder == 0) {
    setpgid(0, 0);  // flock runs sleep as a child of its own: both go with the group
    execlp("setpriv", "setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "flock", "-x",
           live, "sleep", "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  int probe = open(live, O_RDONLY);
  ASSERT_TRUE(logtest::WaitFor([&] {
    if (flock(probe, LOCK_EX | LOCK_NB) != 0) return true;  // the member holds it
    flock(probe, LOCK_UN);
    return false;
  }));
  close(probe);
  long long worstMs = 0;
  for (int line = 0; line < 60; ++line) {
    struct stat info {};
    // Whichever file the path names now, unless it claims the size already (shrinking it would
    // cut lines off).
    if (stat(live, &info) == 0 && info.st_size < (200 << 20)) {
      ASSERT_EQ(0, truncate(live, 200 << 20));
    }
    auto start = std::chrono::steady_clock::now();
    snl.Notice("line %d", line);
    worstMs = std::max<long long>(worstMs, std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
    usleep(20000);  // 1.2 s in all: the held lock is given up on after a second
  }
  kill(-holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  EXPECT_LT(worstMs, 250);  // a whole second per line while the lock was waited for
  EXPECT_GE(OldFiles().size(), 1u);   // rotated without the lock after a second
  EXPECT_LE(OldFiles().size(), 20u);  // the ration, not one file per line
  std::string all;  // the start of each file and what was written past the claimed 200 MB
  std::vector<std::string> files = OldFiles();
  files.push_back(live);
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string head(1 << 16, '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    all.append(head, 0, static_cast<size_t>(in.gcount()));
    in.clear();
    in.seekg(200 << 20);
    all.append(std::istreambuf_iterator<char>(in), {});
  }
  for (int line = 0; line < 60; ++line)  // every line kept, in some file
    EXPECT_NE(all.find("| line " + std::to_string(line) + "\n"), std::string::npos) << line;
}

// The quiet time after a write error runs on the monotonic clock: with the wall clock stepped
// back by an hour in the middle of it, the writer still speaks again after its period, with the
// I/O ERROR banner, instead of an hour later.
TEST_F(KFileLogWriterTest, AWallClockStepBackDoesNotProlongTheQuietTime) {
  logtest::SyslogCapture syslog;
  KFileLogWriter::SecondsDisabledOnError = 2;
  mkdir("/var/log/tolma/full", 0755);
  ASSERT_EQ(0, mount("tmpfs", "/var/log/tolma/full", "tmpfs", 0, "size=16k"));
  std::ofstream("/var/log/tolma/full/filler") << std::string(12 * 1024, 'f');
  KLogger full(klogSNL, -1, "SNL", "full/x", 0, false);
  for (int i = 0; i < 20 && syslog.Messages().empty(); ++i) full.Notice("%0500d", i);
  ASSERT_EQ(1u, syslog.Messages().size());
  snltest::StepWallClock(-3600);
  unlink("/var/log/tolma/full/filler");
  sleep(3);
  full.Notice("after");
  std::string text = logtest::NoTime(logtest::ReadFile("/var/log/tolma/full/x.log"));
  EXPECT_NE(text.find("*****[ I/O ERROR ]*****"), std::string::npos) << text;
  EXPECT_TRUE(text.size() >= 6 && text.compare(text.size() - 6, 6, "after\n") == 0) << text;
  snltest::StepWallClock(3600);
}

TEST_F(KLogDirectoryTest, UnwritableDirectoryEndsTheProcess) {
  logtest::SyslogCapture syslog;
  const int status = logtest::InChild([] {  // its own namespace, a read-only log directory
    dup2(open("/var/log/child.err", O_CREAT | O_WRONLY, 0644), 2);
    if (unshare(CLONE_NEWNS) != 0) _exit(1);
    SetReadOnly("/var/log/tolma", true);
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);  // never returns
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 133) << status;  // exit(-123)
  const char expected[] =
      "Fatal error writing to a critical file \"/var/log/tolma/\"! Exiting process!";
  EXPECT_EQ(expected, logtest::ReadFile("/var/log/child.err"));
  EXPECT_THAT(syslog.Messages(), ElementsAre(EndsWith(expected)));
  EXPECT_EQ(0u, syslog.Messages()[0].find("<11>"));  // LOG_USER | LOG_ERR
}

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Links planted in the log directory by another user are never followed: the write test, the
// log files, crash.log, a subdirectory of a writer name and old/ all stay away from the targets.
TEST_F(KLogDirectoryTest, PlantedLinksAreNeverFollowed) {
  logtest::SyslogCapture syslog;
  logtest::WriteConfig("MaxLogFileSize=1000\n[SNL]\nValue=true\n");
  std::ofstream("/var/log/victim") << "keep";
  mkdir("/var/log/elsewhere", 0755);
  for (const char* name : {"WriteTest.tmp", "snl.log", "crash.log"})
    ASSERT_EQ(0, symlink("/var/log/victim", (std::string("/var/log/tolma/") + name).c_str()));
  ASSERT_EQ(0, symlink("/var/log/elsewhere", "/var/log/tolma/old"));
  ASSERT_EQ(0, symlink("/var/log/elsewhere", "/var/log/tolma/sub"));
  EXPECT_EQ("/var/log/tolma/", KLogger::GetLogDirectory());
  EXPECT_FALSE(Exists("/var/log/tolma/WriteTest.tmp"));  // the planted entry itself is gone
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger sub(klogSNL, -1, "SNL", "sub/x", 0, false);
  KLogger rotating(klogSNL, -1, "SNL", "rot", 0, false);
  snl.Notice("never through the link");
  sub.Notice("beside the link");
  for (int n = 0; n < 15; ++n) rotating.Notice("%-72d", n);  // past the limit: old/ is a link
  KCrashLogger().Log("report");
  EXPECT_EQ("keep", logtest::ReadFile("/var/log/victim"));
  EXPECT_TRUE(logtest::Glob("/var/log/elsewhere/*").empty());
  EXPECT_THAT(LogLines("x.log"), ElementsAre("N|<time>| beside the link"));
  EXPECT_EQ(15u, LogLines("rot.log").size());
  std::vector<std::string> messages = syslog.Messages();
  ASSERT_EQ(2u, messages.size());
  EXPECT_THAT(messages[0], EndsWith("fopen(3) failed: (40) Too many levels of symbolic links. "
                                    "Log snl disabled by 30 seconds.\n"));
  EXPECT_THAT(messages[1], EndsWith("Message:\n\treport\n"));  // crash.log could not be used
}

// A missing log directory is made again; under a umask of 0 the log tree is still 0755 with 0644
// files; inside a group-writable setgid log directory (root:snl 2775) new directories are 2775 and
// new files 0664 whatever the umask, so that every member of the group can write and rotate them.
TEST_F(KLogDirectoryTest, ModesOfWhatTheLibraryCreates) {
  logtest::WriteConfig("MaxLogFileSize=100\n[SNL]\nValue=true\n");
  for (mode_t dirMode : {0u, 02775u}) {
    ASSERT_EQ(0, logtest::InChild([dirMode] {
                dirMode == 0 ? rmdir("/var/log/tolma") : chmod("/var/log/tolma", dirMode);
                umask(dirMode == 0 ? 0 : 022);
                KLogger log(klogSNL, -1, "SNL", "sub/x", 0, false);
                for (int n = 0; n < 3; ++n) log.Notice("%-80d", n);
              }));
    mode_t dir = dirMode == 0 ? 0755 : 02775, file = dirMode == 0 ? 0644 : 0664;
    for (std::string path :
         {"", "/sub", "/old", "/old/sub", "/sub/x.log", "/klog.log", "/old/sub/x.*"}) {
      const std::vector<std::string> found = logtest::Glob("/var/log/tolma" + path);
      EXPECT_EQ(path.find('.') == std::string::npos ? dir : file,
                found.empty() ? 0 : ModeOf(found[0]))
          << path;
    }
    ASSERT_EQ(0, system("rm -rf /var/log/tolma/* && chmod 00755 /var/log/tolma"));
  }
}

// A log directory that is a link, or that every user may write, is reported once on syslog and
// standard error, and still used; the shared setup root:snl 2775 passes silently.
TEST_F(KLogDirectoryTest, UntrustedDirectoryIsReportedOnce) {
  logtest::SyslogCapture syslog;
  const std::string anyone = "Log directory \"/var/log/tolma\" may be written by any user (mode ";
  const std::string advice =
      "): they can remove or replace its log files; make it writable by "
      "its owner and group only (for instance root:snl 2775).";
  const std::string link =
      "Log directory \"/var/log/tolma\" is a symbolic link (to "
      "\"/var/log/real\"): logs are written in its target; make it a "
      "directory owned by root, or check who may change the link.";
  const std::pair<const char*, std::string> rows[] = {
      {"chmod 2775 /var/log/tolma", ""},
      {"chmod 00777 /var/log/tolma", anyone + "0777" + advice},
      {"chmod 01777 /var/log/tolma", anyone + "1777" + advice},
      {"mv /var/log/tolma /var/log/real && ln -s /var/log/real /var/log/tolma", link}};
  size_t reported = 0;
  for (const auto& [setup, expected] : rows) {
    ASSERT_EQ(0, system(setup));
    EXPECT_EQ(0, logtest::InChild([] {
                dup2(open("/var/log/child.err", O_CREAT | O_TRUNC | O_WRONLY, 0644), 2);
                KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
                log.Notice("written");
                KLogger again(klogSNL, -1, "SNL", "other", 0, false);
              }));
    EXPECT_EQ(expected.empty() ? "" : expected + "\n", logtest::ReadFile("/var/log/child.err"));
    EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| written")) << setup;
    std::vector<std::string> messages = syslog.Messages();
    if (!expected.empty()) {
      ASSERT_EQ(reported + 1, messages.size()) << setup;
      EXPECT_THAT(messages[reported++], EndsWith(expected));
    }
    EXPECT_EQ(reported, messages.size()) << setup;
    ASSERT_EQ(0, system("rm -f /var/log/tolma/*.log; [ -L /var/log/tolma ] && rm /var/log/tolma "
                        "&& mv /var/log/real /var/log/tolma; chmod 00755 /var/log/tolma"));
  }
}

}  // namespace
