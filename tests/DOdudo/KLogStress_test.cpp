// Many threads logging at once, through loggers of one module and of several, while the files
// rotate: every line must arrive exactly once and whole.
#include <gmock/gmock.h>

#include <map>

#include "DOdudo/KLogManager.h"
#include "DOdudo/KLogger.h"
#include "LogTestSupport.h"
#include "support/TestIsolation.h"

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kLinesPerThread = 20000;  // sanitizers slow each line down tenfold and more
#else
constexpr int kLinesPerThread = 50000;
#endif
constexpr int kThreads = 8;

// Thread t logs to module "one" for t < 6 (six loggers sharing one writer, half of them with lazy
// trace flushing), "two" for t == 6 and "three" for t == 7. Every 100th line is an info line,
// which is copied to messages.log.
const char* ModuleOf(int thread) { return thread < 6 ? "one" : thread == 6 ? "two" : "three"; }

TEST(KLogStress, EveryLineOnceAndWholeWhileRotating) {
  SNL_REQUIRE_ISOLATION();
  logtest::WriteConfig("MaxLogFileSize=400000\n[SNL]\nValue=true\n");
  KLogger keep(klogSNL, -1, "SNL", "keep", 0, false);
  logtest::InThreads(kThreads, [](int t) {
    KLogger log(klogSNL, -1, "SNL", ModuleOf(t), 0, t % 2 == 1);
    for (int n = 0; n < kLinesPerThread; ++n) {
      log.Log(n % 100 == 0 ? klogInfo : klogTrace, "t%d n%06d %s", t, n,
              "payload-payload-payload-payload");
    }
  });
  KLogManager::GetMe(false)->FlushWriters();

  const std::regex shape(R"(([TI])\|\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3}\| t(\d) n(\d{6}) )"
                         R"(payload-payload-payload-payload( \((one|two|three)\))?)");
  // Each line whole and in the file of its thread's module; each info line also copied once to
  // messages.log (or its rotations), naming its writer.
  std::map<std::pair<int, int>, int> seen;
  int rotated = 0, torn = 0, copies = 0;
  for (std::string module : {"one", "two", "three", "messages"}) {
    std::vector<std::string> files = logtest::Glob("/var/log/tolma/old/" + module + ".*");
    files.push_back("/var/log/tolma/" + module + ".log");
    rotated += static_cast<int>(files.size()) - 1;
    bool copy = module == "messages";
    for (const std::string& file : files) {
      for (const std::string& line : logtest::ReadLines(file)) {
        std::smatch m;
        if (!std::regex_match(line, m, shape) || m[4].matched != copy) {
          ++torn;
          continue;
        }
        int t = std::stoi(m[2]);
        EXPECT_EQ(ModuleOf(t), copy ? m[5].str() : module) << line;
        ++(copy ? copies : seen[{t, std::stoi(m[3])}]);
      }
    }
  }
  EXPECT_EQ(0, torn);
  EXPECT_GT(rotated, 2);
  EXPECT_EQ(kThreads * kLinesPerThread / 100, copies);
  EXPECT_EQ(static_cast<size_t>(kThreads * kLinesPerThread), seen.size());
  for (const auto& entry : seen)
    EXPECT_EQ(1, entry.second) << entry.first.first << " " << entry.first.second;
}

}  // namespace
