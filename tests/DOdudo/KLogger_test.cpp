// The logger front end: line formats, the copy to messages.log, writer names, level handling.
#include "DOdudo/KLogger.h"

#include <gmock/gmock.h>
#include <pthread.h>
#include <unistd.h>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogWriter.h"
#include "DOdudo/KRunningLog.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

using logtest::LogLines;
using testing::ElementsAre;
using testing::HasSubstr;
using KLoggerTest = snltest::IsolatedTest;

namespace {

TEST(KLogDefs, NamesOfSourcesAndOptions) {
  EXPECT_STREQ("Stun", GetStringKLogSource(static_cast<KLogSource>(27)));
  EXPECT_STREQ("MaxSources", GetStringKLogSource(klogMaxSources));
  EXPECT_STREQ("UNKOWN", GetStringKLogSource(static_cast<KLogSource>(30)));
  EXPECT_STREQ("CallControl", GetStringKLogSS7Options(static_cast<KLogSS7Options>(256)));
  EXPECT_STREQ("UNKOWN", GetStringKLogSS7Options(static_cast<KLogSS7Options>(3)));    // two bits
  EXPECT_STREQ("UNKOWN", GetStringKLogSS7Options(static_cast<KLogSS7Options>(512)));  // beyond
  EXPECT_STREQ("Comm", GetStringKLogMediaOptions(static_cast<KLogMediaOptions>(1024)));
  EXPECT_STREQ("Q931", KLogSourceOptions(klogISDN)[1]);
}

// Every operation's line; errors, warnings and infos are also copied to messages.log with the
// writer's name, notices and traces are not.
TEST_F(KLoggerTest, LineFormatsAndTheCopyToMessages) {
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger timer(klogTimer, -1, "TIMER", "timer", 0x10, false);  // with the name column
  log.Info("Device %i, Start CMD sent", 0);
  log.Log(klogNotice, std::string());  // an empty string writes nothing
  log.Log(klogNotice, std::string("raw text"));
  log.LogBinary(klogNotice, std::string("binary"));
  log.LogDev(klogTrace, 3, "dev");
  log.LogChannel(klogTrace, 2, 5, "chan");
  log.LogChanAndCall(klogTrace, 2, 5, 7, "call");
  log.LogLink(klogTrace, 1, 3, "link");
  log.LogLinkAndCall(klogTrace, 1u, 3u, 9, "linkcall");
  log.LogDsp(klogTrace, 1, 2, "dsp");
  log.LogCall(klogTrace, 12, "k");
  log.LogNai(klogTrace, 4u, "nai");
  log.LogNaiAndCall(klogTrace, 4u, 8, "naicall");
  KLogger::LOG_DEVICE_WIDTH = 3;
  KLogger::LOG_CHANNEL_WIDTH = 4;
  log.LogChannel(klogWarning, 2, 5, "wide");
  log.Error("e");
  log.Log(static_cast<KLogLevel>(7), "seven");  // levels out of range are errors
  log.Log(static_cast<KLogLevel>(-1), "minus");
  timer.Info("tick");
  timer.Notice("some text");
  EXPECT_THAT(
      LogLines("snl.log"),
      ElementsAre("I|<time>| Device 0, Start CMD sent", "N|<time>raw text", "N|<time>binary",
                  "T|<time>|D3| dev", "T|<time>|D2 C05| chan", "T|<time>|D2 C05 K7| call",
                  "T|<time>|D1 L3| link", "T|<time>|D1 L3 K9| linkcall", "T|<time>|D1 PC| dsp",
                  "T|<time>|K12| k", "T|<time>|N4| nai", "T|<time>|N4 K8| naicall",
                  "W|<time>|D002 C0005| wide", "E|<time>| e", "E|<time>| seven",
                  "E|<time>| minus"));
  EXPECT_THAT(LogLines("timer.log"),
              ElementsAre("I|<time>|TIMER   | tick", "N|<time>|TIMER   | some text"));
  EXPECT_THAT(
      LogLines("messages.log"),
      ElementsAre("I|<time>| Device 0, Start CMD sent (snl)", "W|<time>|D002 C0005| wide (snl)",
                  "E|<time>| e (snl)", "E|<time>| seven (snl)", "E|<time>| minus (snl)",
                  "I|<time>|TIMER   | tick (timer)"));
  EXPECT_THAT(logtest::ReadFile("/var/log/tolma/klog.log"),
              HasSubstr("| Invalid log request level=7 src=14 opt=-1, returning true\n"));
}

TEST_F(KLoggerTest, WriterNamesFromTheConstructionFlagsAndPrefixesOfTheFixedLogs) {
  std::string exe = logtest::ExeName();
  KLogger config(klogConfig, -1, "CONFIG", "dodudo", 0x11, false);
  KLogger stamped(klogTimer, -1, "TIMER", "dodudo", 0x07, false);
  KLogger pidOnly(klogTimer, -1, "TIMER", "mod", 0x02 | 0x20, false);
  EXPECT_EQ(KLogManager::GetMe(false)->GetWriter((exe + ".dodudo").c_str()), config.Writer());
  dodudo::time::KSystemTime t;
  KLogger::GetStartTime(t);
  char expected[256];
  snprintf(expected, sizeof expected, "%s.dodudo.%04d%02d%02d.%02d%02d%02d.pid%d", exe.c_str(),
           t.year, t.month, t.day, t.hour, t.minute, t.second, getpid());
  EXPECT_EQ(expected, stamped.Writer()->Name());
  EXPECT_EQ("mod.pid" + std::to_string(getpid()), pidOnly.Writer()->Name());
  // The system, internal and running logs' prefixes.
  KLogger::SystemLog(klogWarning, "sys %d", 1);
  KLogger::InternalLog(klogNotice, "inside");
  _NotifyThreadInit("DOdudo/KLogger", "ReloadConfigThread", 436);
  EXPECT_THAT(LogLines("system.log"), ElementsAre("W|<time>|SYSTEM  | sys 1"));
  char pidColumn[32];
  snprintf(pidColumn, sizeof pidColumn, "|PID=%4d %-15s| ", getpid(), "");
  EXPECT_EQ(std::string("N|<time>") + pidColumn + "inside", LogLines("klog.log").back());
  char ids[64];
  snprintf(ids, sizeof ids, "|PID=%05d LWP=%05d TRD=%10u| ", getpid(), gettid(),
           static_cast<unsigned>(pthread_self()));
  EXPECT_THAT(LogLines(exe + ".running.log"),
              ElementsAre(std::string("N|<time>|DIRUZED ") + ids +
                          "Thread started at file DOdudo/KLogger function ReloadConfigThread "
                          "line 436"));
}

TEST_F(KLoggerTest, AfterTheLastLoggerLoggingGoesToTheCrashLog) {
  {
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    log.Notice("alive");
  }
  EXPECT_EQ(nullptr, KLogManager::Instance());
  KLogger late(klogSNL, -1, "SNL", "snl", 0, false);
  late.Notice("lost");
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| alive"));
  // Two reports of 8 lines: the construction and the use of the late logger.
  std::vector<std::string> crash = logtest::ReadLines("/var/log/tolma/crash.log");
  ASSERT_EQ(16u, crash.size());
  crash[3] =
      std::regex_replace(crash[3], std::regex(R"(^\d\d/\d\d/\d{4} - [\d:.]{12}$)"), "<time>");
  EXPECT_THAT(std::vector<std::string>(crash.begin(), crash.begin() + 8),
              ElementsAre("", "", "***** Tolma application error *****", "<time>",
                          "PID: " + std::to_string(getpid()), "Program: " + logtest::ExeName(),
                          "Message:", "\tTrying to log when KLogger is already finished"));
}

}  // namespace
