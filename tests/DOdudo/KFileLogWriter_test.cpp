// The file writer on real files: naming, lazy open, shared files, rotation, date banners, I/O
// failures (read-only and full file systems) and the log directory's write test.
#include "DOdudo/KFileLogWriter.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "DOdudo/SysLog.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

using logtest::Exists;
using logtest::LogLines;
using testing::ElementsAre;

namespace {

std::vector<std::string> OldFiles() {
  std::vector<std::string> names;
  if (DIR* dir = opendir("/var/log/tolma/old")) {
    while (dirent* entry = readdir(dir)) {
      if (strncmp(entry->d_name, "snl.", 4) == 0) names.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

KFileLogWriter* FileWriter(KLogger& logger) {
  return dynamic_cast<KFileLogWriter*>(logger.Writer());
}

// Makes a directory of the log tree read-only (or writable again) within this test's namespace.
void SetReadOnly(const char* path, bool readOnly) {
  if (readOnly) {
    ASSERT_EQ(0, mount(path, path, nullptr, MS_BIND, nullptr));
  }
  ASSERT_EQ(
      0, mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0), nullptr));
}

TEST(KFileLogWriter, FileNamesAndLazyOpen) {
  SNL_REQUIRE_ISOLATION();
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger sub(klogSNL, -1, "SNL", "sub/x", 0, false);
  KLogger dotted(klogSNL, -1, "SNL", "a.log.b", 0, false);
  EXPECT_FALSE(Exists("/var/log/tolma/snl.log"));
  snl.Notice("1");
  sub.Notice("2");
  dotted.Notice("3");
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| 1"));
  EXPECT_THAT(LogLines("sub/x.log"), ElementsAre("N|<time>| 2"));
  EXPECT_THAT(LogLines("a.log.b"), ElementsAre("N|<time>| 3"));
  EXPECT_FALSE(Exists("/var/log/tolma/a.log.b.log"));
}

TEST(KFileLogWriter, NamesNeverLeaveTheLogDirectory) {
  SNL_REQUIRE_ISOLATION();
  KLogger escaping(klogSNL, -1, "SNL", "../../escaped", 0, false);
  KLogger inner(klogSNL, -1, "SNL", "sub/../up", 0, false);
  escaping.Notice("1");
  inner.Notice("2");
  EXPECT_THAT(LogLines("escaped.log"), ElementsAre("N|<time>| 1"));
  EXPECT_THAT(LogLines("up.log"), ElementsAre("N|<time>| 2"));
  EXPECT_FALSE(Exists("/var/escaped.log"));
  EXPECT_FALSE(Exists("/var/log/escaped.log"));
}

TEST(KFileLogWriter, SharedFilesAreClosedAfterEveryLine) {
  SNL_REQUIRE_ISOLATION();
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger system(klogSystem, -1, "SYS", "system", 0, false);
  snl.Info("x");
  system.Notice("y");
  EXPECT_TRUE(FileWriter(snl)->IsOpen());
  EXPECT_FALSE(FileWriter(system)->IsOpen());
  EXPECT_FALSE(dynamic_cast<KFileLogWriter*>(KLogManager::ErrorWriter())->IsOpen());
  EXPECT_FALSE(
      dynamic_cast<KFileLogWriter*>(KLogManager::GetMe(false)->GetWriter("klog"))->IsOpen());
  // Lines of an open file reach the disk at once unless lazily flushed.
  KLogger lazy(klogSNL, -1, "SNL", "snl", 0, true);
  lazy.Trace("buffered");
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("I|<time>| x"));
  lazy.Notice("flushed");
  EXPECT_THAT(LogLines("snl.log"),
              ElementsAre("I|<time>| x", "T|<time>| buffered", "N|<time>| flushed"));
}

TEST(KFileLogWriter, RotationPastMaxLogFileSize) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig("MaxLogFileSize=1000\n[SNL]\nValue=true\n");
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  std::string body(68, 'a');
  int lines = 0;
  while (OldFiles().empty() && lines < 100) snl.Notice("%03d %s", lines++, body.c_str());
  ASSERT_EQ(1u, OldFiles().size());
  // 100-byte lines: the eleventh finds 1000 bytes (not rotated), the twelfth finds 1100.
  EXPECT_EQ(12, lines);
  std::string old = OldFiles()[0];
  EXPECT_TRUE(std::regex_match(old, std::regex(R"(snl\.\d{8}-\d{6}\.log)"))) << old;
  EXPECT_EQ(1100u, logtest::ReadFile("/var/log/tolma/old/" + old).size());
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| 011 " + body));

  // Two rotations within one second keep both files.
  FileWriter(snl)->Rotate();
  FileWriter(snl)->Rotate();
  std::vector<std::string> names = OldFiles();
  ASSERT_GE(names.size(), 3u);
  std::set<std::string> distinct(names.begin(), names.end());
  EXPECT_EQ(names.size(), distinct.size());
}

TEST(KFileLogWriter, DateBannerWhenTheDayChanges) {
  SNL_REQUIRE_ISOLATION();
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  snl.Notice("before");
  dodudo::time::KSystemTime now;
  KHostSystem::GetTime(&now);
  // A day change writes one banner; the same day again writes none.
  FileWriter(snl)->CheckDay(now.day == 1 ? 2 : 1);
  FileWriter(snl)->CheckDay(now.day == 1 ? 2 : 1);
  snl.Notice("after midnight");  // back to today: the second banner
  std::vector<std::string> lines = logtest::ReadLines("/var/log/tolma/snl.log");
  ASSERT_EQ(8u, lines.size());
  const std::regex banner(
      R"(\*\*\*\*\*\[ DATE \]\*{21}/ \d\d/\d\d/\d{4} \d\d:\d\d:\d\d /\*\*\*\*\*)");
  EXPECT_EQ("N|<time>| before", logtest::NoTime(lines[0]));
  for (int first : {1, 4}) {
    EXPECT_EQ("", lines[first]);
    EXPECT_EQ("", lines[first + 1]);
    EXPECT_TRUE(std::regex_match(lines[first + 2], banner)) << lines[first + 2];
  }
  EXPECT_EQ("N|<time>| after midnight", logtest::NoTime(lines[7]));
}

TEST(KFileLogWriter, UnopenableFileKeepsTheWaitingLineAndReportsOncePerPeriod) {
  SNL_REQUIRE_ISOLATION();
  logtest::SyslogCapture syslog;
  ASSERT_TRUE(syslog.ok());
  KFileLogWriter::SecondsDisabledOnError = 2;
  mkdir("/var/log/tolma/ro", 0755);
  SetReadOnly("/var/log/tolma/ro", true);
  KLogger log(klogSNL, -1, "SNL", "ro/x", 0, false);
  log.Notice("waiting");
  log.Notice("dropped while disabled");
  EXPECT_THAT(syslog.Messages(),
              ElementsAre(testing::EndsWith("fopen(3) failed: (30) Read-only file system. Log "
                                            "ro/x disabled by 30 seconds.\n")));
  EXPECT_EQ(0, syslog.Messages()[0].find("<12>"));  // LOG_USER | LOG_WARNING
  sleep(2);
  log.Notice("dropped, still failing");  // one more report for the new period
  EXPECT_EQ(2u, syslog.Messages().size());
  SetReadOnly("/var/log/tolma/ro", false);
  sleep(2);
  log.Notice("current");
  EXPECT_EQ(2u, syslog.Messages().size());
  std::vector<std::string> lines = logtest::ReadLines("/var/log/tolma/ro/x.log");
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ("", lines[0]);
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(R"(\*\*\*\*\*\[ I/O ERROR \]\*\*\*\*\* \d\d/\d\d/\d{4} \d\d:\d\d:\d\d )"
                           R"(\*\*\*\*\* Lost messages since \d\d/\d\d/\d{4} \d\d:\d\d:\d\d, )"
                           R"(due to write error \(30\) Read-only file system\.)")))
      << lines[1];
  EXPECT_EQ("", lines[2]);
  EXPECT_EQ("N|<time>| waiting", logtest::NoTime(lines[3]));
  EXPECT_EQ("N|<time>| current", logtest::NoTime(lines[4]));
}

TEST(KFileLogWriter, FullDiskDisablesAndReportsTheGap) {
  SNL_REQUIRE_ISOLATION();
  logtest::SyslogCapture syslog;
  ASSERT_TRUE(syslog.ok());
  KFileLogWriter::SecondsDisabledOnError = 2;
  mkdir("/var/log/tolma/full", 0755);
  ASSERT_EQ(0, mount("tmpfs", "/var/log/tolma/full", "tmpfs", 0, "size=16k"));
  {
    std::ofstream filler("/var/log/tolma/full/filler");
    filler << std::string(12 * 1024, 'f');
  }
  KLogger log(klogSNL, -1, "SNL", "full/x", 0, false);
  std::string body(500, 'b');
  for (int i = 0; i < 20 && syslog.Messages().empty(); ++i) log.Notice("%s", body.c_str());
  EXPECT_THAT(syslog.Messages(),
              ElementsAre(testing::EndsWith("fflush(3) failed: (28) No space left on device. Log "
                                            "full/x disabled by 30 seconds.\n")));
  log.Notice("dropped");
  unlink("/var/log/tolma/full/filler");
  sleep(2);
  log.Notice("after");
  EXPECT_EQ(1u, syslog.Messages().size());
  std::string text = logtest::ReadFile("/var/log/tolma/full/x.log");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      text, match,
      std::regex(R"(\n\*\*\*\*\*\[ I/O ERROR \]\*\*\*\*\* [^\n]* Lost messages since [^\n]*, )"
                 R"(due to write error \(28\) No space left on device\.\n\n(N\|[^\n]*)\n$)")))
      << text.substr(text.size() > 300 ? text.size() - 300 : 0);
  EXPECT_EQ("N|<time>| after", logtest::NoTime(match[1]));
  EXPECT_EQ(std::string::npos, text.find("dropped"));
}

TEST(KFileLogWriter, SysLogPriorities) {
  SNL_REQUIRE_ISOLATION();
  logtest::SyslogCapture syslog;
  ASSERT_TRUE(syslog.ok());
  SysLog(klogError, "e");
  SysLog(klogWarning, "w");
  SysLog(klogTrace, "t");
  std::vector<std::string> messages = syslog.Messages();
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ(0u, messages[0].find("<11>"));
  EXPECT_EQ(0u, messages[1].find("<12>"));
  EXPECT_EQ(0u, messages[2].find("<13>"));
  EXPECT_THAT(messages[2], testing::EndsWith(": t"));
}

TEST(KLogDirectory, CreatedWithItsParentsWhenMissing) {
  SNL_REQUIRE_ISOLATION();
  ASSERT_EQ(0, rmdir("/var/log/tolma"));
  EXPECT_EQ("/var/log/tolma/", KLogger::GetLogDirectory());
  EXPECT_TRUE(Exists("/var/log/tolma"));
  EXPECT_FALSE(Exists("/var/log/tolma/WriteTest.tmp"));
}

TEST(KLogDirectory, UnwritableDirectoryEndsTheProcess) {
  SNL_REQUIRE_ISOLATION();
  logtest::SyslogCapture syslog;
  ASSERT_TRUE(syslog.ok());
  logtest::ChildResult child = logtest::RunInChild([] {
    if (unshare(CLONE_NEWNS) != 0) _exit(1);
    mount("/var/log/tolma", "/var/log/tolma", nullptr, MS_BIND, nullptr);
    mount(nullptr, "/var/log/tolma", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    _exit(2);  // not reached
  });
  ASSERT_TRUE(WIFEXITED(child.status));
  EXPECT_EQ(133, WEXITSTATUS(child.status));  // exit(-123)
  const char expected[] =
      "Fatal error writing to a critical file \"/var/log/tolma/\"! Exiting process!";
  EXPECT_EQ(expected, child.err);
  EXPECT_THAT(syslog.Messages(), ElementsAre(testing::EndsWith(expected)));
  EXPECT_EQ(0u, syslog.Messages()[0].find("<11>"));
}

}  // namespace
