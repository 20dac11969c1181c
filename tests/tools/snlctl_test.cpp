// snlctl as an operator meets it: exit codes, messages, and the decoding of crafted VPD files.
// These tests run with no board attached; every snlctl run loads libsnl, which logs under
// /var/log/tolma, hence the isolation.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RunTool.h"
#include "support/TestIsolation.h"

using ::testing::HasSubstr;
using snltest::RunTool;
using snltest::ToolResult;

namespace {

ToolResult Snlctl(const std::vector<std::string>& args) { return RunTool(SNLCTL_PATH, args); }

class SnlctlTest : public ::testing::Test {
 protected:
  void SetUp() override { SNL_REQUIRE_ISOLATION(); }
  void TearDown() override {
    for (const std::string& f : files_) std::filesystem::remove_all(std::filesystem::path(f).parent_path());
  }
  std::string File(const std::string& name, const std::vector<unsigned char>& bytes) {
    files_.push_back(snltest::WriteTempFile(name, bytes));
    return files_.back();
  }

 private:
  std::vector<std::string> files_;
};

// A type-22 image (132 bytes, field block at 0) with the given leading field bytes and a correct
// stored checksum: start at 0xC0E9, then sum = (sum + b) ^ b over the 27 field bytes except the
// checksum's own four (11 to 14).
std::vector<unsigned char> Type22Image(std::vector<unsigned char> fields) {
  std::vector<unsigned char> image(132, 0);
  for (size_t i = 0; i < fields.size(); ++i) image[i] = fields[i];
  uint32_t sum = 0xC0E9;
  for (size_t i = 0; i < 27; ++i)
    if (i < 11 || i > 14) sum = (sum + image[i]) ^ image[i];
  for (int k = 0; k < 4; ++k) image[11 + k] = static_cast<unsigned char>(sum >> (8 * k));
  return image;
}

TEST_F(SnlctlTest, BadCommandLinesExitWithUsageStatusAndSayWhy) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "usage: snlctl [--debug] COMMAND"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"status"}, "usage: snlctl status N"},
      {{"status", "0", "1"}, "usage: snlctl status N"},
      {{"status", "x1"}, "board index 'x1' is not a number"},
      {{"ping", "1x"}, "board index '1x' is not a number"},
      {{"ping", " 1"}, "board index ' 1' is not a number"},
      {{"start", ""}, "board index '' is not a number"},
      {{"stop", "99999999999999999999999"}, "out of range"},
      {{"status", "0"}, "no board 0: no board was found"},
      {{"status", "-1"}, "no board -1: no board was found"},
      {{"start", "0", "--bogus"}, "unknown option '--bogus'"},
      {{"list", "0"}, "usage: snlctl list"},
      {{"configure", "0", "30"}, "usage: snlctl configure N TIME LINKS"},
      {{"configure", "0", "256", "2"}, "time 256 out of range (0 to 255)"},
      {{"configure", "0", "30", "-1"}, "links -1 out of range (0 to 255)"},
      {{"keepalive", "0"}, "usage: snlctl keepalive N --interval MS"},
      {{"keepalive", "0", "--interval"}, "--interval needs a value"},
      {{"keepalive", "0", "--interval", "0"}, "interval 0 out of range"},
      {{"keepalive", "0", "--interval", "10", "--count", "abc"}, "count 'abc' is not a number"},
      {{"keepalive", "0", "--interval", "10"}, "no board 0: no board was found"},
      {{"vpd", "f"}, "usage: snlctl vpd FILE --type T"},
      {{"vpd", "--type", "22"}, "usage: snlctl vpd FILE --type T"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ToolResult r = Snlctl(c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(SnlctlTest, HelpAndListWithoutBoardsSucceed) {
  ToolResult help = Snlctl({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, HasSubstr("keepalive N --interval MS"));

  ToolResult list = Snlctl({"--debug", "list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.out, "no board found\n");
}

TEST_F(SnlctlTest, VpdDecodesEveryFieldAndPassesAGoodChecksum) {
  std::vector<unsigned char> fields(27, 0);
  const unsigned char head[] = {0x01, 0x34, 0x12, 0x39, 0x30, 0x0B, 0x07, 0x78, 0x56, 0x34, 0x12};
  std::copy(std::begin(head), std::end(head), fields.begin());
  fields[15] = 30;  // groups 0 and 2 have links
  fields[17] = 2;
  fields[23] = 0xEF;
  fields[26] = 0xAB;
  std::vector<unsigned char> image = Type22Image(fields);
  ToolResult r = Snlctl({"vpd", File("good.vpd", image), "--type", "22"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  for (const char* line :
       {"vpd version:    1\n", "board type:     0x12\n", "board subtype:  0x34\n",
        "board version:  7\n", "serial:         12345\n", "year:           11\n",
        "security:       0x12345678\n", "links:          2 (groups: 30 0 2 0 0 0 0 0)\n",
        "resources:      0xab0000ef\n", "checksum:       ok\n"})
    EXPECT_THAT(r.out, HasSubstr(line));
}

TEST_F(SnlctlTest, VpdReportsABadChecksumWithFailureStatus) {
  std::vector<unsigned char> image = Type22Image({});
  image[0] = 1;  // changed after the checksum was stored
  ToolResult r = Snlctl({"vpd", File("bad.vpd", image), "--type", "22"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.out, HasSubstr("checksum:       BAD"));
}

TEST_F(SnlctlTest, VpdAcceptsTheBoardStoredPartAndOtherLayouts) {
  std::vector<unsigned char> stored = Type22Image({0x00, 0x00, 0x00, 0x05, 0x00});
  stored.resize(128);  // without the identifier word the host appends
  ToolResult r22 = Snlctl({"vpd", File("stored.vpd", stored), "--type", "22"});
  EXPECT_EQ(r22.exitCode, 0) << r22.err;
  EXPECT_THAT(r22.out, HasSubstr("serial:         5\n"));

  // Type 2: 256 bytes with the field block at 136.
  std::vector<unsigned char> t2(256, 0);
  std::vector<unsigned char> block = Type22Image({0x02, 0x00, 0x00, 0x10, 0x27});
  std::copy(block.begin(), block.begin() + 27, t2.begin() + 136);
  ToolResult r2 = Snlctl({"vpd", File("t2.vpd", t2), "--type", "2"});
  EXPECT_EQ(r2.exitCode, 0) << r2.err;
  EXPECT_THAT(r2.out, HasSubstr("serial:         10000\n"));
  EXPECT_THAT(r2.out, HasSubstr("type:           2 (256 bytes)\n"));
}

TEST_F(SnlctlTest, VpdRefusesUnusableFilesAndTypes) {
  std::string dir = std::filesystem::path(File("dummy", {})).parent_path();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{File("short.vpd", std::vector<unsigned char>(100)), "22"},
       "is too short: 100 bytes, type 22 needs 132 (or 128 without the host part)"},
      {{File("empty.vpd", {}), "22"}, "is too short: 0 bytes"},
      {{File("odd.vpd", std::vector<unsigned char>(130)), "22"}, "of a wrong size: 130 bytes"},
      {{File("over.vpd", std::vector<unsigned char>(133)), "22"}, "is too large"},
      {{File("huge.vpd", std::vector<unsigned char>(8 << 20)), "22"},
       "is too large: more than 132 bytes"},
      {{File("short4.vpd", std::vector<unsigned char>(132)), "4"}, "type 4 needs 256\n"},
      {{dir + "/missing.vpd", "22"}, "cannot open VPD file '" + dir + "/missing.vpd': No such file"},
      {{dir, "22"}, "cannot read VPD file '" + dir + "': Is a directory"},
      {{File("t.vpd", Type22Image({})), "x"}, "VPD type 'x' is not a number"},
      {{File("t.vpd", Type22Image({})), "100"}, "invalid VPD type 100: known types are 2, 4, 8, 22"},
      {{File("t.vpd", Type22Image({})), "-2"}, "invalid VPD type -2"},
      // The library refuses the type with its own message (stored in ISO 8859-1, shown in UTF-8).
      {{File("t.vpd", Type22Image({})), "3"},
       "invalid VPD type 3: N\xc3\xa3o foi poss\xc3\xadvel identificar interface de "
       "comunica\xc3\xa7\xc3\xa3o de uma ou mais placas!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    ToolResult r = Snlctl({"vpd", c.args[0], "--type", c.args[1]});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
