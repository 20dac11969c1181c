// The log filter: loading klog.cfg, the trace decision, overrides, callback and byte encoding.
#include "DOdudo/KLogFilter.h"

#include <gmock/gmock.h>

#include <stdexcept>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

namespace {

constexpr unsigned int kAll = 0xFFFFFFFFu;

bool Traced(const KLogFilter& filter, KLogSource source, unsigned int option) {
  return filter.IsActive(klogTrace, source, option);
}

const char kOptionsConfig[] =
    "# every row of the outcome table\n"
    "[ISDN]\nValue=true\nQ931=false\n"
    "[SS7]\nValue=true\nMTP2States=true\nMTP2Debug=false\nMTP3Management=never\n"
    "[R2]\nValue=never\nSignaling=true\n"
    "[Audio]\nValue=false\nDSP=true\nZ7M=never\n"
    "[Firmware]\nValue=TRUE\nFwHdlcMsg=false\n"
    "[Timer]\nValue = true\n";

TEST(KLogFilter, ConstructedFilterTracesEverything) {
  KLogFilter filter;
  for (unsigned int source = 0; source < klogMaxSources; ++source) {
    EXPECT_TRUE(Traced(filter, static_cast<KLogSource>(source), 1));
    EXPECT_TRUE(Traced(filter, static_cast<KLogSource>(source), kAll));
  }
  EXPECT_EQ(104857600u, filter.MaxLogFileSize());
  EXPECT_EQ(10737418240u, filter.MaxTotalLogSize());
  // Levels 0..3 always pass; bad levels and sources pass as well.
  EXPECT_TRUE(filter.IsActive(klogInfo, klogSNL, 0));
  EXPECT_TRUE(filter.IsActive(static_cast<KLogLevel>(9), klogSNL, 0));
  EXPECT_TRUE(filter.IsActive(klogTrace, klogMaxSources, 0));
}

TEST(KLogFilter, OptionValuesWithoutFullLog) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig(kOptionsConfig);
  KLogFilter filter;
  filter.LoadConfig();
  EXPECT_FALSE(filter.FullLog());
  // [ISDN] Value=true, Q931=false, Lapd absent: no option traces, the whole source does (the
  // bits beyond the option list stay set).
  EXPECT_FALSE(Traced(filter, klogISDN, klogISDNQ931));
  EXPECT_FALSE(Traced(filter, klogISDN, klogISDNLapd));
  EXPECT_TRUE(Traced(filter, klogISDN, kAll));
  EXPECT_TRUE(Traced(filter, klogSS7, klogSS7MTP2States));
  EXPECT_FALSE(Traced(filter, klogSS7, klogSS7MTP2Debug));
  EXPECT_FALSE(Traced(filter, klogSS7, klogSS7MTP3Management));
  EXPECT_FALSE(Traced(filter, klogSS7, klogSS7MTP3Test));
  EXPECT_FALSE(Traced(filter, klogR2, klogR2Signaling));
  EXPECT_FALSE(Traced(filter, klogAudio, klogAudioDSP));
  EXPECT_FALSE(Traced(filter, klogAudio, kAll));
  EXPECT_FALSE(Traced(filter, klogFirmware, klogFwHdlcMsg));  // "TRUE" is not "true"
  EXPECT_FALSE(Traced(filter, klogTimer, kAll));  // "Value " with a blank is another key
  EXPECT_FALSE(Traced(filter, klogSNL, kAll));    // no section: never
  EXPECT_TRUE(Traced(filter, klogSystem, 1));     // never read, always on
  EXPECT_EQ(0u, filter.Never(klogSS7) & klogSS7MTP2States);
  EXPECT_EQ(kAll, filter.Never(klogSNL));
}

TEST(KLogFilter, OptionValuesWithFullLog) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig(std::string("[KLogger]\nFullLog=TRUE\n") + kOptionsConfig);
  KLogFilter filter;
  filter.LoadConfig();
  EXPECT_TRUE(filter.FullLog());
  EXPECT_TRUE(Traced(filter, klogSS7, klogSS7MTP2States));
  EXPECT_TRUE(Traced(filter, klogSS7, klogSS7MTP2Debug));        // other value
  EXPECT_FALSE(Traced(filter, klogSS7, klogSS7MTP3Management));  // never
  EXPECT_FALSE(Traced(filter, klogSS7, klogSS7MTP3Test));        // absent
  EXPECT_FALSE(Traced(filter, klogR2, klogR2Signaling));         // Value=never
  EXPECT_TRUE(Traced(filter, klogAudio, klogAudioDSP));          // Value other, option "true"
  EXPECT_FALSE(Traced(filter, klogAudio, klogAudioZ7M));
  EXPECT_TRUE(Traced(filter, klogAudio, kAll));
  EXPECT_TRUE(Traced(filter, klogFirmware, klogFwHdlcMsg));
  EXPECT_FALSE(Traced(filter, klogFirmware, klogFwLinkErrors));
  EXPECT_FALSE(Traced(filter, klogSNL, kAll));  // a missing section stays never
  EXPECT_EQ(kAll, KLogFilter().GetConfig(klogSNL));
  EXPECT_EQ(kAll, filter.GetConfig(klogSNL));  // full log reports every bit
}

TEST(KLogFilter, SizeKeysOfTheWholeFile) {
  SNL_REQUIRE_ISOLATION();
  struct Case {
    const char* text;
    unsigned long long file, total;
  } cases[] = {
      {"MaxLogFileSize=@\nMaxTotalLogSize=@\n", 104857600ULL, 10737418240ULL},
      {"MaxLogFileSize=0x100000\n[SNL]\nMaxTotalLogSize=5000\n", 1048576ULL, 5000ULL},
      {"MaxLogFileSize=abc\n", 104857600ULL, 10737418240ULL},
      {"MaxLogFileSize = 2000\n", 104857600ULL, 10737418240ULL},
      {"[SS7]\nmaxlogfilesize=1000\nMaxLogFileSize=3000\n", 1000ULL, 10737418240ULL},
  };
  for (const Case& c : cases) {
    logtest::WriteConfig(c.text);
    KLogFilter filter;
    filter.LoadConfig();
    EXPECT_EQ(c.file, filter.MaxLogFileSize()) << c.text;
    EXPECT_EQ(c.total, filter.MaxTotalLogSize()) << c.text;
  }
}

TEST(KLogFilter, MissingConfigThrowsAndKeepsTheFilter) {
  SNL_REQUIRE_ISOLATION();
  KLogFilter filter;
  try {
    filter.LoadConfig();
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_STREQ("Config file not found(config[/etc/tolma//config/klog.cfg])", e.what());
  }
  EXPECT_TRUE(Traced(filter, klogSNL, 1));
  EXPECT_STREQ("/etc/tolma//config/klog.cfg", KLogFilter::GetConfigFileName());
}

TEST(KLogFilter, RemoteHostSkipsTheLocalOptions) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig("RemoteLogHost=logs.example\nRemoteLogPort=9000\n[SNL]\nValue=never\n");
  KLogFilter filter;
  filter.LoadConfig();
  EXPECT_TRUE(Traced(filter, klogSNL, kAll));
}

TEST(KLogFilter, LoadedFilterDecidesTheLoggersTraces) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig("[SNL]\nValue=true\n");
  {
    KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
    KLogger isdn(klogISDN, 2, "Q931", "isdn", 0, false);
    log.Trace("shown");
    isdn.Trace("hidden");
    isdn.Notice("always");
  }
  EXPECT_THAT(logtest::LogLines("snl.log"), testing::ElementsAre("T|<time>| shown"));
  EXPECT_THAT(logtest::LogLines("isdn.log"), testing::ElementsAre("N|<time>| always"));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_NE(std::string::npos,
            klog.find("| Error loading section [ISDN], assuming 'never' for all keys. Error: "
                      "[Section [ISDN] not found(config[/etc/tolma//config/klog.cfg])]\n"));
}

TEST(KLogFilter, OverridesSurviveReloads) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig("[SNL]\nValue=true\n");
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogFilter* filter = KLogManager::GetMe(false)->Filter();
  KLogger::OverwriteOption(klogSystem, 0);  // source 0 cannot be overridden
  EXPECT_TRUE(KLogger::IsOptionActive(klogSystem, 1));
  KLogger::OverwriteOption(klogSNL, 0);
  EXPECT_FALSE(KLogger::IsOptionActive(klogSNL, kAll));
  filter->LoadConfig();
  EXPECT_FALSE(KLogger::IsOptionActive(klogSNL, kAll));
  EXPECT_EQ(0u, KLogger::GetConfig(klogSNL));
  KLogger::ReleaseOverwrittenOption(klogSNL);
  EXPECT_TRUE(KLogger::IsOptionActive(klogSNL, kAll));
  EXPECT_EQ(kAll, KLogger::GetConfig(klogSNL));
  // An override that turns traces on is kept by a reload just the same.
  logtest::WriteConfig("[SNL]\nValue=never\n");
  KLogger::OverwriteOption(klogSNL, 0x4);
  filter->LoadConfig();
  EXPECT_EQ(0x4u, KLogger::GetConfig(klogSNL));
  EXPECT_TRUE(KLogger::IsOptionActive(klogSNL, 0x4));
  KLogger::ReleaseOverwrittenOption(klogSNL);
  EXPECT_EQ(kAll, KLogger::GetConfig(klogSNL));

  EXPECT_EQ(0u, KLogger::GetConfig(klogMaxSources));
  EXPECT_EQ(0u, KLogger::GetConfig(static_cast<KLogSource>(30)));
  EXPECT_FALSE(KLogger::IsOptionActive(static_cast<KLogSource>(30), 1));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_EQ(std::string::npos, klog.find("GetConfig( 29 )"));
  EXPECT_NE(std::string::npos, klog.find("| GetConfig( 30 ) - invalid parameter\n"));
  EXPECT_NE(std::string::npos, klog.find("| IsOptionActive( 30, 1 ) - invalid parameter\n"));
}

int g_callbackCalls = 0;
bool g_lastRemote = true;

TEST(KLogFilter, CallbackAfterEveryLoadAndItsExceptionsAreSwallowed) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig("[SNL]\nValue=true\n");
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogFilter* filter = KLogManager::GetMe(false)->Filter();
  KLogger::SetFilterConfigCallback([](bool remote) {
    ++g_callbackCalls;
    g_lastRemote = remote;
  });
  filter->LoadConfig();
  EXPECT_EQ(1, g_callbackCalls);
  EXPECT_FALSE(g_lastRemote);
  KLogger::SetFilterConfigCallback([](bool) { throw std::runtime_error("boom"); });
  EXPECT_NO_THROW(filter->LoadConfig());
  KLogger::SetFilterConfigCallback([](bool) { throw 42; });
  EXPECT_NO_THROW(filter->InvokeFilterCallback(true));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_NE(std::string::npos,
            klog.find("| Exception calling filter config callback(invoke:local) [boom]!\n"));
  EXPECT_NE(std::string::npos,
            klog.find("| Unknown exception calling filter config callback (invoke:remote)!\n"));
}

std::string Le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}

TEST(KLogFilter, ByteEncodingWithCountsAboveAndBelowTheSources) {
  KLogFilter source;
  source.OverwriteOption(klogSNL, 0x5);
  std::string bytes = source.ToBytes();
  ASSERT_EQ(4u + 29u * 9u + 17u, bytes.size());
  EXPECT_EQ(Le32(29), bytes.substr(0, 4));
  EXPECT_EQ(Le32(kAll) + std::string(1, '\0') + Le32(0), bytes.substr(4, 9));
  EXPECT_EQ(Le32(5) + std::string(1, '\1') + Le32(0), bytes.substr(4 + 14 * 9, 9));
  EXPECT_EQ(std::string("\0"
                        "\0\0\x40\x06\0\0\0\0"
                        "\0\0\0\x80\x02\0\0\0",
                        17),
            bytes.substr(4 + 29 * 9));

  KLogFilter copy;
  copy.FromBytes(bytes.data(), bytes.size());
  EXPECT_EQ(bytes, copy.ToBytes());
  EXPECT_TRUE(copy.Overwritten(klogSNL));

  // 31 sources: the two surplus triples are read and dropped.
  std::string wide = Le32(31) + bytes.substr(4, 29 * 9) + std::string(18, '\x7f') +
                     std::string("\1", 1) + bytes.substr(bytes.size() - 16);
  KLogFilter fromWide;
  fromWide.FromBytes(wide.data(), wide.size());
  EXPECT_TRUE(fromWide.FullLog());
  EXPECT_EQ(5u, fromWide.Active(klogSNL));
  EXPECT_EQ(104857600u, fromWide.MaxLogFileSize());

  // 10 sources: sources 10..28 return to all-active.
  KLogFilter narrowed;
  narrowed.OverwriteOption(klogSNL, 0);
  narrowed.OverwriteOption(klogISDN, 0);
  std::string narrow = Le32(10) + std::string(10 * 9, '\0') + bytes.substr(bytes.size() - 17);
  narrowed.FromBytes(narrow.data(), narrow.size());
  EXPECT_EQ(0u, narrowed.Active(klogISDN));
  EXPECT_EQ(kAll, narrowed.Active(klogSNL));
  EXPECT_FALSE(narrowed.Overwritten(klogSNL));

  // Bytes that end early or promise 4 billion sources are refused, never overrun.
  KLogFilter scratch;
  EXPECT_THROW(scratch.FromBytes(bytes.data(), bytes.size() - 1), std::exception);
  std::string huge = Le32(kAll) + bytes.substr(4);
  EXPECT_THROW(scratch.FromBytes(huge.data(), huge.size()), std::exception);
}

}  // namespace
