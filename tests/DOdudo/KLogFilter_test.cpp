// The log filter: loading klog.cfg, the trace decision, overrides, callback and byte encoding.
#include "DOdudo/KLogFilter.h"

#include <gmock/gmock.h>

#include <stdexcept>
#include <tuple>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "LB9/KIPC/IpcTestSupport.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

using ipctest::Le32;
using testing::HasSubstr;

namespace {

constexpr unsigned int kAll = 0xFFFFFFFFu;
using KLogFilterTest = snltest::IsolatedTest;

// Every row of the outcome table, without and with "FullLog" ([KLogger] is read first wherever it
// stands in the file).
TEST_F(KLogFilterTest, OptionValuesWithAndWithoutFullLog) {
  const std::string options =
      "[ISDN]\nValue=true\nQ931=false\n"
      "[SS7]\nValue=true\nMTP2States=true\nMTP2Debug=false\nMTP3Management=never\n"
      "[R2]\nValue=never\nSignaling=true\n"
      "[Audio]\nValue=false\nDSP=true\nZ7M=never\n"
      "[Firmware]\nValue=TRUE\nFwHdlcMsg=false\n"
      "[Timer]\nValue = true\n";  // "Value " with a blank is another key
  const std::tuple<KLogSource, unsigned int, bool, bool> rows[] = {
      // plain, with full log
      {klogISDN, klogISDNQ931, false, true},
      {klogISDN, klogISDNLapd, false, false},
      {klogISDN, kAll, true, true},  // the bits beyond the option list stay set
      {klogSS7, klogSS7MTP2States, true, true},
      {klogSS7, klogSS7MTP2Debug, false, true},  // another value than "true"
      {klogSS7, klogSS7MTP3Management, false, false},
      {klogSS7, klogSS7MTP3Test, false, false},
      {klogR2, klogR2Signaling, false, false},
      {klogAudio, klogAudioDSP, false, true},
      {klogAudio, klogAudioZ7M, false, false},
      {klogFirmware, klogFwHdlcMsg, false, true},  // "TRUE" is not "true"
      {klogFirmware, klogFwLinkErrors, false, false},
      {klogTimer, kAll, false, false},
      {klogSNL, kAll, false, false},  // no section: never
      {klogSystem, 1, true, true},    // never read, always on
  };
  for (bool full : {false, true}) {
    logtest::WriteConfig(options + (full ? "[KLogger]\nFullLog=TRUE\n" : ""));
    KLogFilter filter;
    filter.LoadConfig();
    EXPECT_EQ(full, filter.FullLog());
    for (const auto& [source, option, plain, withFull] : rows) {
      EXPECT_EQ(full ? withFull : plain, filter.IsActive(klogTrace, source, option))
          << "full=" << full << " source=" << source << " option=" << option;
    }
    EXPECT_EQ(full ? kAll : 0u, filter.GetConfig(klogSNL));  // full log reports every bit
  }
}

TEST_F(KLogFilterTest, SizeKeysOfTheWholeFileAndNoFileAtAll) {
  const std::tuple<const char*, uint64_t, uint64_t> cases[] = {
      {nullptr, 104857600ULL, 10737418240ULL},
      {"MaxLogFileSize=@\nMaxTotalLogSize=@\n", 104857600ULL, 10737418240ULL},
      {"MaxLogFileSize=0x100000\n[SNL]\nMaxTotalLogSize=5000\n", 1048576ULL, 5000ULL},
      {"MaxLogFileSize=abc\n", 104857600ULL, 10737418240ULL},
      {"MaxLogFileSize = 2000\n", 104857600ULL, 10737418240ULL},
      {"[SS7]\nmaxlogfilesize=1000\nMaxLogFileSize=3000\n", 1000ULL, 10737418240ULL},
  };
  for (const auto& [text, file, total] : cases) {
    KLogFilter filter;
    if (text == nullptr) {  // no klog.cfg: the construction values stay, every trace on
      EXPECT_THROW(filter.LoadConfig(), std::exception);
      for (unsigned int source = 0; source < klogMaxSources; ++source)
        EXPECT_TRUE(filter.IsActive(klogTrace, static_cast<KLogSource>(source), 1));
      continue;
    }
    logtest::WriteConfig(text);
    filter.LoadConfig();
    EXPECT_EQ(file, filter.MaxLogFileSize()) << text;
    EXPECT_EQ(total, filter.MaxTotalLogSize()) << text;
  }
}

// Overrides survive reloads; exceptions of the filter callback are swallowed.
TEST_F(KLogFilterTest, OverridesSurviveReloadsAndCallbackExceptionsAreSwallowed) {
  logtest::WriteConfig("[SNL]\nValue=true\n");
  KLogger log(klogSNL, -1, "SNL", "snl", 0, false);
  KLogFilter* filter = KLogManager::GetMe(false)->Filter();
  KLogger::OverwriteOption(klogSystem, 0);  // source 0 cannot be overridden
  EXPECT_TRUE(KLogger::IsOptionActive(klogSystem, 1));
  // Overrides turning traces off and on alike are kept by a reload until released.
  for (unsigned int mask : {0u, 0x4u}) {
    logtest::WriteConfig(mask ? "[SNL]\nValue=never\n" : "[SNL]\nValue=true\n");
    KLogger::OverwriteOption(klogSNL, mask);
    filter->LoadConfig();
    EXPECT_EQ(mask, KLogger::GetConfig(klogSNL));
    EXPECT_EQ(mask != 0, KLogger::IsOptionActive(klogSNL, 0x4));
    KLogger::ReleaseOverwrittenOption(klogSNL);
    EXPECT_EQ(kAll, KLogger::GetConfig(klogSNL));
  }
  EXPECT_EQ(0u, KLogger::GetConfig(static_cast<KLogSource>(30)));
  KLogger::SetFilterConfigCallback([](bool) { throw std::runtime_error("boom"); });
  EXPECT_NO_THROW(filter->InvokeFilterCallback(false));
  KLogger::SetFilterConfigCallback([](bool) { throw 42; });
  EXPECT_NO_THROW(filter->InvokeFilterCallback(true));
  std::string klog = logtest::ReadFile("/var/log/tolma/klog.log");
  EXPECT_THAT(klog, HasSubstr("| GetConfig( 30 ) - invalid parameter\n"));
  EXPECT_THAT(klog,
              HasSubstr("| Exception calling filter config callback(invoke:local) [boom]!\n"));
  EXPECT_THAT(klog,
              HasSubstr("| Unknown exception calling filter config callback (invoke:remote)!\n"));
}

TEST(KLogFilterBytes, CountsAboveAndBelowTheSources) {
  KLogFilter source;
  source.OverwriteOption(klogSNL, 0x5);
  std::string bytes = source.ToBytes();
  ASSERT_EQ(4u + 29u * 9u + 17u, bytes.size());
  EXPECT_EQ(Le32(29), bytes.substr(0, 4));
  EXPECT_EQ(Le32(kAll) + std::string(1, '\0') + Le32(0), bytes.substr(4, 9));
  EXPECT_EQ(Le32(5) + std::string(1, '\1') + Le32(0), bytes.substr(4 + 14 * 9, 9));
  EXPECT_EQ(std::string("\0\0\0\x40\x06\0\0\0\0\0\0\0\x80\x02\0\0\0", 17),
            bytes.substr(4 + 29 * 9));

  // 31 sources: the two surplus triples are read and dropped.
  std::string wide = Le32(31) + bytes.substr(4, 29 * 9) + std::string(18, '\x7f') +
                     std::string("\1", 1) + bytes.substr(bytes.size() - 16);
  KLogFilter fromWide;
  fromWide.FromBytes(wide.data(), wide.size());
  EXPECT_TRUE(fromWide.FullLog());
  EXPECT_EQ(5u, fromWide.Active(klogSNL));
  EXPECT_TRUE(fromWide.Overwritten(klogSNL));

  // 10 sources: sources 10..28 return to all-active.
  KLogFilter narrowed;
  narrowed.OverwriteOption(klogSNL, 0);
  std::string narrow = Le32(10) + std::string(10 * 9, '\0') + bytes.substr(bytes.size() - 17);
  narrowed.FromBytes(narrow.data(), narrow.size());
  EXPECT_EQ(0u, narrowed.Active(klogISDN));
  EXPECT_EQ(kAll, narrowed.Active(klogSNL));
  EXPECT_FALSE(narrowed.Overwritten(klogSNL));

  // Bytes that end early or promise 4 billion sources are refused, never overrun.
  EXPECT_THROW(narrowed.FromBytes(bytes.data(), bytes.size() - 1), std::exception);
  std::string huge = Le32(kAll) + bytes.substr(4);
  EXPECT_THROW(narrowed.FromBytes(huge.data(), huge.size()), std::exception);
}

}  // namespace
