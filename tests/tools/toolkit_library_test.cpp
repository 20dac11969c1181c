// libsnl-toolkit.so: a program linked against it (the README's logging example) runs beside an
// emulated board and the board receives nothing, not even the reset libsnl.so sends at load.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "RunTool.h"
#include "support/SimShell.h"
#include "support/TestIsolation.h"

using ::testing::HasSubstr;

namespace {

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(ToolkitLibrary, AProgramLinkedAgainstItLeavesTheBoardsAlone) {
  SNL_REQUIRE_ISOLATION();  // the example logs under /var/log/tolma
  if (std::string(SNLSIM_PATH).empty()) GTEST_SKIP() << "snlsim is not built here";
  snltest::TempDir dir;
  const std::string boards = dir.Write("boards.ini", std::string("[board]\nserial = 4321\n"));
  auto underSim = [&](const std::string& record, const std::string& command) {
    return snltest::RunTool({SNLSIM_PATH, "--record", dir.path + "/" + record, boards, "--",
                             "env", "-u", "LD_PRELOAD", "sh", "-c",
                             snltest::SimProgram(command)});
  };
  snltest::ToolResult example = underSim("toolkit.txt", LOGGING_EXAMPLE_PATH);
  EXPECT_EQ(example.exitCode, 0) << example.err;
  EXPECT_EQ(dir.Read("toolkit.txt"), "") << "the board received a request";
  EXPECT_THAT(ReadFile("/var/log/tolma/example.log"),
              HasSubstr("| started, 0 boards left alone\n"));
  EXPECT_EQ(ReadFile("/var/log/tolma/snl.log"), "") << "the watchdog controller was loaded";

  // The same bus seen through libsnl.so: the board is there, and its loading resets it.
  snltest::ToolResult probe = underSim("snl.txt", SNLPROBE_PATH " " SNL_LIBRARY_PATH " report");
  EXPECT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_THAT(dir.Read("snl.txt"), HasSubstr("board=0 RESET"));
}

}  // namespace
