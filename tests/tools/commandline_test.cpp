// The command lines of snlctl and commsim as an operator meets them: --version, a complete
// --help, and every bad argument named, with exit status 2.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunTool.h"

using snltest::RunTool;
using snltest::ToolResult;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

TEST(CommandLine, VersionAndHelpOfEveryTool) {
  for (const char* tool : {SNLCTL_PATH, COMMSIM_PATH}) {
    const std::string name = std::string(tool).substr(std::string(tool).rfind('/') + 1);
    ToolResult version = RunTool({tool, "--version"});
    EXPECT_EQ(version.exitCode, 0) << name;
    EXPECT_THAT(version.out, MatchesRegex(name + " [0-9]+\\.[0-9]+\\.[0-9]+\n"));
    ToolResult help = RunTool({tool, "--help"});
    EXPECT_EQ(help.exitCode, 0) << name;
    EXPECT_THAT(help.out, HasSubstr("--version"));
    EXPECT_THAT(help.out, HasSubstr("exit status"));
  }
  EXPECT_THAT(RunTool({COMMSIM_PATH, "--help"}).out, HasSubstr("--hello-version M.m.b"));
}

TEST(CommandLine, CommsimNamesEveryBadArgument) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "unknown argument '--bogus'"},
      {{"--tick"}, "--tick needs a value"},
      {{"--port", "70000"}, "bad value '70000' for --port"},
      {{"--hello-version", "1.2"}, "bad value '1.2' for --hello-version"},
      {{"--version", "1.2"}, "unknown argument '1.2'"},  // --version, then a stray argument
      {{"--service", "TOOLONG"}, "bad value 'TOOLONG' for --service"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv{COMMSIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolResult r = RunTool(argv);
    EXPECT_EQ(r.exitCode, 2) << args[0];
    EXPECT_EQ(r.err, "commsim: " + message + " (try commsim --help)\n");
  }
}

}  // namespace
