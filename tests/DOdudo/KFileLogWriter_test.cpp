// The file writer on real files: naming, lazy open, shared files, rotation, date banners, I/O
// failures (read-only and full file systems) and the log directory's write test.
#include "DOdudo/KFileLogWriter.h"

#include <dirent.h>
#include <gmock/gmock.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

using logtest::Exists;
using logtest::LogLines;
using testing::ElementsAre;
using testing::EndsWith;

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

KFileLogWriter* FileWriter(KLogWriter* writer) { return dynamic_cast<KFileLogWriter*>(writer); }

// Makes a directory of the log tree read-only (or writable again) within this test's namespace.
void SetReadOnly(const char* path, bool readOnly) {
  if (readOnly) mount(path, path, nullptr, MS_BIND, nullptr);
  unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
  ASSERT_EQ(0, mount(nullptr, path, nullptr, flags, nullptr));
}

TEST(KFileLogWriter, FileNamesLazyOpenAndContainment) {
  SNL_REQUIRE_ISOLATION();
  struct {
    const char* name;
    const char* file;
  } rows[] = {{"snl", "snl.log"},
              {"sub/x", "sub/x.log"},
              {"a.log.b", "a.log.b"},
              {"../../escaped", "escaped.log"},  // never leaves the dir
              {"sub/../up", "up.log"}};
  std::vector<std::unique_ptr<KLogger>> loggers;
  for (const auto& row : rows)
    loggers.emplace_back(new KLogger(klogSNL, -1, "SNL", row.name, 0, false));
  EXPECT_FALSE(Exists("/var/log/tolma/snl.log"));
  for (size_t i = 0; i < loggers.size(); ++i) loggers[i]->Notice("%s", rows[i].name);
  for (const auto& row : rows)
    EXPECT_THAT(LogLines(row.file), ElementsAre(std::string("N|<time>| ") + row.name));
  EXPECT_FALSE(Exists("/var/log/tolma/a.log.b.log"));
  EXPECT_FALSE(Exists("/var/escaped.log"));
  EXPECT_FALSE(Exists("/var/log/escaped.log"));
}

TEST(KFileLogWriter, SharedFilesAreClosedAfterEveryLine) {
  SNL_REQUIRE_ISOLATION();
  KLogger snl(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger system(klogSystem, -1, "SYS", "system", 0, false);
  snl.Info("x");
  system.Notice("y");
  EXPECT_TRUE(FileWriter(snl.Writer())->IsOpen());
  EXPECT_FALSE(FileWriter(system.Writer())->IsOpen());
  EXPECT_FALSE(FileWriter(KLogManager::ErrorWriter())->IsOpen());
  EXPECT_FALSE(FileWriter(KLogManager::GetMe(false)->GetWriter("klog"))->IsOpen());
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
  FileWriter(snl.Writer())->Rotate();
  FileWriter(snl.Writer())->Rotate();
  std::vector<std::string> names = OldFiles();
  EXPECT_EQ(3u, std::set<std::string>(names.begin(), names.end()).size());
}

TEST(KFileLogWriter, DateBannerWhenTheDayChanges) {
  SNL_REQUIRE_ISOLATION();
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
              ElementsAre(EndsWith("fopen(3) failed: (30) Read-only file "
                                   "system. Log ro/x disabled by 30 seconds.\n")));
  EXPECT_EQ(0, syslog.Messages()[0].find("<12>"));  // LOG_USER | LOG_WARNING
  sleep(2);
  log.Notice("dropped, still failing");  // one more report for the new period
  EXPECT_EQ(2u, syslog.Messages().size());
  SetReadOnly("/var/log/tolma/ro", false);
  sleep(2);
  log.Notice("current");
  EXPECT_EQ(2u, syslog.Messages().size());
  std::vector<std::string> lines = logtest::LogLines("ro/x.log");
  ASSERT_EQ(5u, lines.size());
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(R"(\*\*\*\*\*\[ I/O ERROR \]\*\*\*\*\* \d\d/\d\d/\d{4} \d\d:\d\d:\d\d )"
                           R"(\*\*\*\*\* Lost messages since \d\d/\d\d/\d{4} \d\d:\d\d:\d\d, )"
                           R"(due to write error \(30\) Read-only file system\.)")))
      << lines[1];
  EXPECT_THAT(lines, ElementsAre("", lines[1], "", "N|<time>| waiting", "N|<time>| current"));
}

TEST(KFileLogWriter, FullDiskDisablesAndReportsTheGap) {
  SNL_REQUIRE_ISOLATION();
  logtest::SyslogCapture syslog;
  ASSERT_TRUE(syslog.ok());
  KFileLogWriter::SecondsDisabledOnError = 2;
  mkdir("/var/log/tolma/full", 0755);
  ASSERT_EQ(0, mount("tmpfs", "/var/log/tolma/full", "tmpfs", 0, "size=16k"));
  std::ofstream("/var/log/tolma/full/filler") << std::string(12 * 1024, 'f');
  KLogger log(klogSNL, -1, "SNL", "full/x", 0, false);
  std::string body(500, 'b');
  for (int i = 0; i < 20 && syslog.Messages().empty(); ++i) log.Notice("%s", body.c_str());
  EXPECT_THAT(syslog.Messages(),
              ElementsAre(EndsWith("fflush(3) failed: (28) No space left on "
                                   "device. Log full/x disabled by 30 seconds.\n")));
  log.Notice("dropped");
  unlink("/var/log/tolma/full/filler");
  sleep(2);
  log.Notice("after");
  EXPECT_EQ(1u, syslog.Messages().size());
  std::string text = logtest::NoTime(logtest::ReadFile("/var/log/tolma/full/x.log"));
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex(R"(\n\*\*\*\*\*\[ I/O ERROR \]\*\*\*\*\* [^\n]* Lost messages since [^\n]*, )"
                 R"(due to write error \(28\) No space left on device\.\n\nN\|<time>\| after\n$)")))
      << text.substr(text.size() > 300 ? text.size() - 300 : 0);
  EXPECT_EQ(std::string::npos, text.find("dropped"));
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
  auto child = logtest::RunInChild([] {
    if (unshare(CLONE_NEWNS) != 0) _exit(1);
    SetReadOnly("/var/log/tolma", true);
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    _exit(2);  // not reached
  });
  ASSERT_TRUE(WIFEXITED(child.first));
  EXPECT_EQ(133, WEXITSTATUS(child.first));  // exit(-123)
  const char expected[] =
      "Fatal error writing to a critical file \"/var/log/tolma/\"! Exiting process!";
  EXPECT_EQ(expected, child.second);
  EXPECT_THAT(syslog.Messages(), ElementsAre(EndsWith(expected)));
  EXPECT_EQ(0u, syslog.Messages()[0].find("<11>"));  // LOG_USER | LOG_ERR
}

}  // namespace
