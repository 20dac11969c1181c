// snlctl as an operator meets it with no board attached: exit codes, messages, and the decoding
// of crafted VPD files. Every snlctl run loads libsnl, which logs under /var/log/tolma.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RunTool.h"
#include "support/TestIsolation.h"

using snltest::ToolResult;
using ::testing::HasSubstr;
using Bytes = std::vector<unsigned char>;

namespace {

ToolResult Snlctl(std::vector<std::string> args) {
  args.insert(args.begin(), SNLCTL_PATH);
  return snltest::RunTool(args);
}

// A type-22 image (132 bytes, field block at 0) with the given field bytes and a correct stored
// checksum: start at 0xC0E9, then sum = (sum + b) ^ b over the 27 field bytes but the checksum's
// own four (11 to 14).
Bytes Type22Image(const Bytes& fields) {
  Bytes image(132, 0);
  std::copy(fields.begin(), fields.end(), image.begin());
  uint32_t sum = 0xC0E9;
  for (size_t i = 0; i < 27; ++i)
    if (i < 11 || i > 14) sum = (sum + image[i]) ^ image[i];
  for (int k = 0; k < 4; ++k) image[11 + k] = static_cast<unsigned char>(sum >> (8 * k));
  return image;
}

class SnlctlTest : public ::testing::Test {
 protected:
  void SetUp() override { SNL_REQUIRE_ISOLATION(); }
  snltest::TempDir dir;
};

TEST_F(SnlctlTest, BadArgumentsAndUnusableVpdFilesAreRefusedWithUsageStatus) {
  const std::string image = dir.Write("image.vpd", Type22Image({})), d = dir.path;
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{}, "usage: snlctl [--debug] COMMAND"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"status", "0", "1"}, "usage: snlctl status N"},
      {{"ping", "1x"}, "board index '1x' is not a number"},
      {{"ping", " 1"}, "board index ' 1' is not a number"},
      {{"stop", "99999999999999999999999"}, "out of range"},
      {{"status", "0"}, "no board 0: it is not on the bus or could not be opened"},
      {{"status", "-1"}, "board index -1 out of range (0 to 1023)"},
      {{"start", "0", "--bogus"}, "unknown option '--bogus'"},
      {{"configure", "0", "256", "2"}, "time 256 out of range (0 to 255)"},
      {{"keepalive", "0", "--interval"}, "--interval needs a value"},
      {{"keepalive", "0", "--interval", "0"}, "interval 0 out of range"},
      {{"keepalive", "0", "--interval", "9", "--count", "x"}, "count 'x' is not a number"},
      {{"vpd", "--type", "22"}, "usage: snlctl vpd FILE --type T"},
      {{"vpd", dir.Write("100", Bytes(100)), "--type", "22"},
       "is too short: 100 bytes, type 22 needs 132 (or 128 without the host part)"},
      {{"vpd", dir.Write("130", Bytes(130)), "--type", "22"}, "of a wrong size: 130 bytes"},
      {{"vpd", dir.Write("big", Bytes(8 << 20)), "--type", "22"},
       "is too large: more than 132 bytes"},
      {{"vpd", dir.Write("132", Bytes(132)), "--type", "4"}, "type 4 needs 256\n"},
      {{"vpd", d + "/none", "--type", "22"}, "cannot open VPD file '" + d + "/none': No such file"},
      {{"vpd", d, "--type", "22"}, "cannot read VPD file '" + d + "': Is a directory"},
      {{"vpd", image, "--type", "x"}, "VPD type 'x' is not a number"},
      {{"vpd", image, "--type", "100"}, "invalid VPD type 100: known types are 2, 4, 8, 22"},
      // The library's own message for a type it refuses: ISO 8859-1 inside, shown in UTF-8.
      {{"vpd", image, "--type", "3"},
       "invalid VPD type 3: N\xc3\xa3o foi poss\xc3\xadvel identificar interface de "
       "comunica\xc3\xa7\xc3\xa3o de uma ou mais placas!"},
  };
  for (const auto& [args, message] : rows) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ToolResult r = Snlctl(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr(message));
    EXPECT_EQ(r.out, "");
  }
  ToolResult list = Snlctl({"--debug", "list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.out, "no board found\n");
}

TEST_F(SnlctlTest, VpdDecodesEveryFieldAndGivesTheChecksumVerdict) {
  const Bytes fields = {0x01, 0x34, 0x12, 0x39, 0x30, 0x0B, 0x07, 0x78, 0x56, 0x34, 0x12, 0, 0, 0,
                       0, 30, 0, 2, 0, 0, 0, 0, 0, 0xEF, 0, 0, 0xAB};  // links in groups 0, 2
  Bytes changed = Type22Image(fields);
  changed[0] = 2;  // after the checksum was stored
  Bytes stored = Type22Image({0, 0, 0, 5});
  stored.resize(128);  // what a board stores, without the identifier word the host appends
  const struct {
    Bytes image;
    const char* type;
    int exitCode;
    const char* out;
  } rows[] = {
      {Type22Image(fields), "22", 0,
       "vpd version:    1\nboard type:     0x12\nboard subtype:  0x34\nboard version:  7\n"
       "serial:         12345\nyear:           11\nsecurity:       0x12345678\n"
       "links:          2 (groups: 30 0 2 0 0 0 0 0)\nresources:      0xab0000ef\n"
       "checksum:       ok\n"},
      {changed, "22", 1, "checksum:       BAD"},
      {stored, "22", 0, "serial:         5\n"},
  };
  for (const auto& row : rows) {
    ToolResult r = Snlctl({"vpd", dir.Write("image.vpd", row.image), "--type", row.type});
    EXPECT_EQ(r.exitCode, row.exitCode) << r.err;
    EXPECT_THAT(r.out, HasSubstr(row.out));
  }
}

}  // namespace
