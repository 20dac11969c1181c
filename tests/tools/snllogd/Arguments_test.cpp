// snllogd's command line as an operator meets it: every bad argument is named, with exit status 2
// and nothing started; --help lists every option; --version answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tools/RunTool.h"

using snltest::RunTool;
using testing::HasSubstr;

namespace {

TEST(SnllogdArguments, EveryBadArgumentIsNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--port"}, "--port needs a value"},
      {{"--listen"}, "--listen needs a value"},
      {{"--allow"}, "--allow needs a value"},
      {{"--port", "0"}, "--port wants a number from 1 to 65535, not \"0\""},
      {{"--port", "65536"}, "--port wants a number from 1 to 65535"},
      {{"--port", "-1"}, "--port wants a number"},
      {{"--port", "80x"}, "--port wants a number"},
      {{"--listen", "example.org"}, "--listen wants an IPv4 or IPv6 address"},
      {{"--allow", "10.1.0.0/33"}, "--allow wants a network such as 10.1.0.0/16, not"},
      {{"--allow-control", "10.1.0.0/"}, "--allow-control wants a network"},
      {{"--allow", "fd00::/129"}, "--allow wants a network"},
      {{"--dir", "../etc"}, "--dir wants a plain name"},
      {{"--max-clients", "0"}, "--max-clients wants a number from 1"},
      {{"--timeout", "99999999999999999999"}, "--timeout wants a number"},
      {{"--syslog", "--journal"}, "--syslog and --journal together would log every line twice"},
      {{"--frobnicate"}, "unknown argument \"--frobnicate\""},
      {{"127.0.0.1"}, "unknown argument \"127.0.0.1\""},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv{SNLLOGD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = RunTool(argv);
    EXPECT_EQ(2, result.exitCode) << args[0];
    EXPECT_THAT(result.err, HasSubstr("snllogd: " + message)) << args[0];
    EXPECT_THAT(result.err, HasSubstr("usage: snllogd")) << args[0];
    EXPECT_EQ("", result.out) << args[0];
  }
}

TEST(SnllogdArguments, HelpListsEveryOptionAndVersionAnswers) {
  auto help = RunTool({SNLLOGD_PATH, "--help"});
  EXPECT_EQ(0, help.exitCode);
  for (const char* option : {"--listen", "--port", "--dir", "--allow ", "--allow-control",
                             "--syslog", "--journal", "--max-clients", "--max-files", "--timeout",
                             "--help", "--version", "SIGHUP", "\\xHH", "Exit status"})
    EXPECT_THAT(help.out, HasSubstr(option));
  auto version = RunTool({SNLLOGD_PATH, "--version"});
  EXPECT_EQ(0, version.exitCode);
  EXPECT_THAT(version.out, testing::MatchesRegex("snllogd [0-9]+\\.[0-9]+\\.[0-9]+\n"));
}

// The installed unit is what systemd accepts without a warning, and its hardening keeps the
// exposure systemd-analyze reports low.
TEST(SnllogdService, UnitVerifiesAndIsHardened) {
  if (system("command -v systemd-analyze >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed";
  snltest::TempDir dir;
  std::ifstream in(SNLLOGD_UNIT_IN);
  std::stringstream text;
  text << in.rdbuf();
  std::string unit = text.str();
  unit.replace(unit.find("@SNLLOGD@"), 9, SNLLOGD_PATH);
  std::string path = dir.Write("snllogd.service", unit);
  auto verify = RunTool({"systemd-analyze", "verify", "--man=no", path});
  EXPECT_EQ(0, verify.exitCode) << verify.err;
  EXPECT_EQ("", verify.err);
  for (const char* setting : {"NoNewPrivileges=yes", "ProtectSystem=strict",
                              "ReadWritePaths=/var/log/tolma", "CapabilityBoundingSet=\n"})
    EXPECT_THAT(unit, HasSubstr(setting));
  auto security = RunTool({"systemd-analyze", "security", "--offline=yes", path});
  std::smatch level;
  std::regex overall("Overall exposure level for snllogd.service: ([0-9.]+)");
  ASSERT_TRUE(std::regex_search(security.out, level, overall)) << security.out << security.err;
  EXPECT_LT(std::stod(level[1]), 3.0);
}

}  // namespace
