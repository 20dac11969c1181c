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

namespace {

TEST(KLogDefs, NamesOfSourcesAndOptions) {
  EXPECT_STREQ("System", GetStringKLogSource(klogSystem));
  EXPECT_STREQ("SNL", GetStringKLogSource(klogSNL));
  EXPECT_STREQ("Stun", GetStringKLogSource(static_cast<KLogSource>(27)));
  EXPECT_STREQ("MaxSources", GetStringKLogSource(klogMaxSources));
  EXPECT_STREQ("UNKOWN", GetStringKLogSource(static_cast<KLogSource>(30)));
  EXPECT_STREQ("UNKOWN", GetStringKLogSource(static_cast<KLogSource>(0xFFFFFFFFu)));

  EXPECT_STREQ("CallControl", GetStringKLogSS7Options(static_cast<KLogSS7Options>(256)));
  EXPECT_STREQ("ISUPMessages", GetStringKLogSS7Options(static_cast<KLogSS7Options>(128)));
  EXPECT_STREQ("UNKOWN", GetStringKLogSS7Options(static_cast<KLogSS7Options>(3)));
  EXPECT_STREQ("UNKOWN", GetStringKLogSS7Options(static_cast<KLogSS7Options>(0)));
  EXPECT_STREQ("UNKOWN", GetStringKLogSS7Options(static_cast<KLogSS7Options>(512)));
  EXPECT_STREQ("UNKOWN", GetStringKLogSS7Options(static_cast<KLogSS7Options>(0xFFFFFFFFu)));
  EXPECT_STREQ("Z7M", GetStringKLogAudioOptions(static_cast<KLogAudioOptions>(2)));
  EXPECT_STREQ("Server", GetStringKLogNetworkOptions(static_cast<KLogNetworkOptions>(1)));
  EXPECT_STREQ("UNKOWN", GetStringKLogConfigOptions(static_cast<KLogConfigOptions>(2)));
  EXPECT_STREQ("Debug", GetStringKLogTdmopOptions(klogTdmopDebug));
  EXPECT_EQ(512u, static_cast<unsigned>(klogTdmopDebug));
  EXPECT_STREQ("Comm", GetStringKLogMediaOptions(static_cast<KLogMediaOptions>(1024)));

  // Every list is terminated, a source without options has the empty list, names are distinct.
  EXPECT_STREQ("", KLogSourceStr[30]);
  EXPECT_STREQ("", KLogSourceOptions(klogSNL)[0]);
  EXPECT_STREQ("", KLogSourceOptions(klogMaxSources)[0]);
  EXPECT_STREQ("Q931", KLogSourceOptions(klogISDN)[1]);
  EXPECT_STREQ("", KLogSourceOptions(klogISDN)[2]);
  for (int a = 0; a < 30; ++a)
    for (int b = a + 1; b < 30; ++b) EXPECT_STRNE(KLogSourceStr[a], KLogSourceStr[b]);
}

TEST(KLogger, LineFormatsOfEveryOperation) {
  SNL_REQUIRE_ISOLATION();
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  log.Info("Device %i, Start CMD sent", 0);
  log.Trace("%s", "");
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
  EXPECT_THAT(
      LogLines("snl.log"),
      ElementsAre("I|<time>| Device 0, Start CMD sent", "T|<time>| ", "N|<time>raw text",
                  "N|<time>binary", "T|<time>|D3| dev", "T|<time>|D2 C05| chan",
                  "T|<time>|D2 C05 K7| call", "T|<time>|D1 L3| link", "T|<time>|D1 L3 K9| linkcall",
                  "T|<time>|D1 PC| dsp", "T|<time>|K12| k", "T|<time>|N4| nai",
                  "T|<time>|N4 K8| naicall", "W|<time>|D002 C0005| wide"));
}

TEST(KLogger, ErrorsWarningsAndInfosAreCopiedToMessages) {
  SNL_REQUIRE_ISOLATION();
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger timer(klogTimer, -1, "TIMER", "timer", 0x10, false);
  log.Error("e");
  log.Warning("w");
  log.Info("i");
  log.Notice("n");
  log.Trace("t");
  timer.Info("tick");
  timer.Notice("some text");
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("E|<time>| e", "W|<time>| w", "I|<time>| i",
                                               "N|<time>| n", "T|<time>| t"));
  EXPECT_THAT(LogLines("timer.log"),
              ElementsAre("I|<time>|TIMER   | tick", "N|<time>|TIMER   | some text"));
  EXPECT_THAT(LogLines("messages.log"),
              ElementsAre("E|<time>| e (snl)", "W|<time>| w (snl)", "I|<time>| i (snl)",
                          "I|<time>|TIMER   | tick (timer)"));
}

TEST(KLogger, LevelsOutOfRangeAreWrittenAsErrors) {
  SNL_REQUIRE_ISOLATION();
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  log.Log(static_cast<KLogLevel>(7), "seven");
  log.Log(static_cast<KLogLevel>(-1), "minus");
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("E|<time>| seven", "E|<time>| minus"));
  EXPECT_THAT(LogLines("messages.log"),
              ElementsAre("E|<time>| seven (snl)", "E|<time>| minus (snl)"));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_NE(std::string::npos,
            klog.find("| Invalid log request level=7 src=14 opt=-1, returning true\n"));
  EXPECT_NE(std::string::npos,
            klog.find("| Invalid log request level=-1 src=14 opt=-1, returning true\n"));
}

TEST(KLogger, LongTextIsWrittenWhole) {
  SNL_REQUIRE_ISOLATION();
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  std::string big(30000, 'x');
  log.Notice("%s", big.c_str());
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| " + big));
}

TEST(KLogger, WriterNamesFromTheConstructionFlags) {
  SNL_REQUIRE_ISOLATION();
  std::string exe = logtest::ExeName();
  KLogger first(klogSNL, -1, "SNL", "snl", 0, false);
  KLogger second(klogSNL, -1, "SNL2", "snl", 0, false);
  KLogger config(klogConfig, -1, "CONFIG", "dodudo", 0x11, false);
  KLogger stamped(klogTimer, -1, "TIMER", "dodudo", 0x07, false);
  KLogger pidOnly(klogTimer, -1, "TIMER", "mod", 0x02 | 0x20, false);
  KLogManager* manager = KLogManager::GetMe(false);
  ASSERT_NE(nullptr, manager);
  EXPECT_EQ(first.Writer(), second.Writer());
  EXPECT_EQ(manager->GetWriter(nullptr), manager->GetWriter("klog"));
  EXPECT_EQ(manager->GetWriter((exe + ".dodudo").c_str()), config.Writer());

  dodudo::time::KSystemTime t;
  KLogger::GetStartTime(t);
  char expected[256];
  snprintf(expected, sizeof expected, "%s.dodudo.%04d%02d%02d.%02d%02d%02d.pid%d", exe.c_str(),
           t.year, t.month, t.day, t.hour, t.minute, t.second, getpid());
  EXPECT_EQ(expected, stamped.Writer()->Name());
  EXPECT_EQ("mod.pid" + std::to_string(getpid()), pidOnly.Writer()->Name());
  stamped.Notice("x");
  EXPECT_TRUE(logtest::Exists(std::string("/var/log/tolma/") + expected + ".log"));
}

TEST(KLogger, SystemInternalAndRunningLogPrefixes) {
  SNL_REQUIRE_ISOLATION();
  KLogger::SystemLog(klogWarning, "sys %d", 1);
  KLogger::InternalLog(klogNotice, "inside");
  myLog(klogNotice, "mine");
  _NotifyThreadInit("DOdudo/KLogger", "ReloadConfigThread", 436);
  EXPECT_THAT(LogLines("system.log"), ElementsAre("W|<time>|SYSTEM  | sys 1"));
  char pidColumn[32];
  snprintf(pidColumn, sizeof pidColumn, "|PID=%4d %-15s| ", getpid(), "");
  std::vector<std::string> klog = LogLines("klog.log");
  ASSERT_GE(klog.size(), 2u);
  EXPECT_EQ(std::string("N|<time>") + pidColumn + "inside", klog[klog.size() - 2]);
  EXPECT_EQ(std::string("N|<time>") + pidColumn + "mine", klog.back());

  std::vector<std::string> running = LogLines(logtest::ExeName() + ".running.log");
  ASSERT_EQ(1u, running.size());
  char ids[64];
  snprintf(ids, sizeof ids, "|PID=%05d LWP=%05d TRD=%10u| ", getpid(), gettid(),
           static_cast<unsigned>(pthread_self()));
  EXPECT_EQ(std::string("N|<time>|DIRUZED ") + ids +
                "Thread started at file DOdudo/KLogger function ReloadConfigThread line 436",
            running[0]);
}

TEST(KLogger, FirstLoggerCreatesOneManagerThatLogsItsDirectory) {
  SNL_REQUIRE_ISOLATION();
  EXPECT_EQ(nullptr, KLogManager::Instance());
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogManager* manager = KLogManager::Instance();
  ASSERT_NE(nullptr, manager);
  EXPECT_NE(nullptr, manager->Filter());
  EXPECT_EQ(2u, manager->LoggerCount());  // the manager's own logger and this one
  KLogger other(klogSNL, -1, "SNL", "snl", 0, false);
  EXPECT_EQ(manager, KLogManager::Instance());
  std::vector<std::string> klog = LogLines("klog.log");
  ASSERT_FALSE(klog.empty());
  EXPECT_NE(std::string::npos, klog.back().find("| Log directory: /var/log/tolma/"));
  EXPECT_EQ("/var/log/tolma/", KLogger::GetLogDirectory());
}

TEST(KLogger, AfterTheLastLoggerLoggingGoesToTheCrashLog) {
  SNL_REQUIRE_ISOLATION();
  {
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    log.Notice("alive");
  }
  EXPECT_EQ(nullptr, KLogManager::Instance());
  KLogger late(klogSNL, -1, "SNL", "snl", 0, false);
  late.Notice("lost");
  EXPECT_EQ(nullptr, late.Writer());
  EXPECT_THAT(LogLines("snl.log"), ElementsAre("N|<time>| alive"));
  std::vector<std::string> crash = logtest::ReadLines("/var/log/tolma/crash.log");
  // Two reports: the construction and the use of the late logger.
  ASSERT_EQ(16u, crash.size());
  EXPECT_EQ("", crash[0]);
  EXPECT_EQ("", crash[1]);
  EXPECT_EQ("***** Tolma application error *****", crash[2]);
  EXPECT_TRUE(std::regex_match(crash[3], std::regex(R"(\d\d/\d\d/\d{4} - \d\d:\d\d:\d\d\.\d{3})")))
      << crash[3];
  EXPECT_EQ("PID: " + std::to_string(getpid()), crash[4]);
  EXPECT_EQ("Program: " + logtest::ExeName(), crash[5]);
  EXPECT_EQ("Message:", crash[6]);
  EXPECT_EQ("\tTrying to log when KLogger is already finished", crash[7]);
}

TEST(KLogger, RunningLogKeepsTheManagerUntilTerminate) {
  SNL_REQUIRE_ISOLATION();
  {
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    _NotifyThreadInit("file", "function", 1);
  }
  KLogManager* manager = KLogManager::Instance();
  ASSERT_NE(nullptr, manager);
  EXPECT_EQ(2u, manager->LoggerCount());
  KLogger::Terminate();
  EXPECT_EQ(nullptr, KLogManager::Instance());
}

}  // namespace
