// snlctl as an operator meets it with no board attached: exit codes, messages, and the decoding
// of crafted VPD files. Every snlctl run loads libsnl, which logs under /var/log/tolma.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RunTool.h"
#include "support/TestIsolation.h"

using ::testing::HasSubstr;
using snltest::ToolResult;
using Bytes = std::vector<unsigned char>;

namespace {

ToolResult Snlctl(const std::vector<std::string>& args) {
  return snltest::RunTool(SNLCTL_PATH, args);
}

class SnlctlTest : public ::testing::Test {
 protected:
  void SetUp() override { SNL_REQUIRE_ISOLATION(); }
  void TearDown() override {
    for (const std::string& f : files_) std::filesystem::remove_all(std::filesystem::path(f).parent_path());
  }
  std::string File(const Bytes& bytes) {
    files_.push_back(snltest::WriteTempFile("image.vpd", bytes));
    return files_.back();
  }
  // Expects snlctl to refuse args with exit status 2, the message on stderr and nothing on stdout.
  void ExpectRefused(const std::vector<std::string>& args, const std::string& message) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ToolResult r = Snlctl(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr(message));
    EXPECT_EQ(r.out, "");
  }

 private:
  std::vector<std::string> files_;
};

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

TEST_F(SnlctlTest, BadCommandLinesAreRefusedWithUsageStatus) {
  ExpectRefused({}, "usage: snlctl [--debug] COMMAND");
  ExpectRefused({"frobnicate"}, "unknown command 'frobnicate'");
  ExpectRefused({"status", "0", "1"}, "usage: snlctl status N");
  ExpectRefused({"ping", "1x"}, "board index '1x' is not a number");
  ExpectRefused({"ping", " 1"}, "board index ' 1' is not a number");
  ExpectRefused({"stop", "99999999999999999999999"}, "out of range");
  ExpectRefused({"status", "0"}, "no board 0: no board was found");
  ExpectRefused({"status", "-1"}, "no board -1: no board was found");
  ExpectRefused({"start", "0", "--bogus"}, "unknown option '--bogus'");
  ExpectRefused({"configure", "0", "256", "2"}, "time 256 out of range (0 to 255)");
  ExpectRefused({"keepalive", "0", "--interval"}, "--interval needs a value");
  ExpectRefused({"keepalive", "0", "--interval", "0"}, "interval 0 out of range");
  ExpectRefused({"keepalive", "0", "--interval", "9", "--count", "x"}, "count 'x' is not a number");
  ExpectRefused({"vpd", "--type", "22"}, "usage: snlctl vpd FILE --type T");

  ToolResult list = Snlctl({"--debug", "list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.out, "no board found\n");
}

TEST_F(SnlctlTest, VpdDecodesEveryFieldAndGivesTheChecksumVerdict) {
  Bytes fields = {0x01, 0x34, 0x12, 0x39, 0x30, 0x0B, 0x07, 0x78, 0x56, 0x34, 0x12};
  fields.resize(27);
  fields[15] = 30;  // groups 0 and 2 have links
  fields[17] = 2;
  fields[23] = 0xEF;
  fields[26] = 0xAB;
  ToolResult good = Snlctl({"vpd", File(Type22Image(fields)), "--type", "22"});
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_THAT(good.out, HasSubstr("vpd version:    1\nboard type:     0x12\n"
                                  "board subtype:  0x34\nboard version:  7\n"
                                  "serial:         12345\nyear:           11\n"
                                  "security:       0x12345678\n"
                                  "links:          2 (groups: 30 0 2 0 0 0 0 0)\n"
                                  "resources:      0xab0000ef\nchecksum:       ok\n"));

  Bytes changed = Type22Image(fields);
  changed[0] = 2;  // after the checksum was stored
  ToolResult bad = Snlctl({"vpd", File(changed), "--type", "22"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_THAT(bad.out, HasSubstr("checksum:       BAD"));

  // The 128 bytes a board stores, without the identifier word the host appends.
  Bytes stored = Type22Image({0, 0, 0, 5});
  stored.resize(128);
  ToolResult part = Snlctl({"vpd", File(stored), "--type", "22"});
  EXPECT_EQ(part.exitCode, 0) << part.err;
  EXPECT_THAT(part.out, HasSubstr("serial:         5\n"));

  // Type 2: 256 bytes with the field block at 136.
  Bytes t2(256, 0);
  Bytes block = Type22Image({2, 0, 0, 0x10, 0x27});
  std::copy(block.begin(), block.begin() + 27, t2.begin() + 136);
  ToolResult r2 = Snlctl({"vpd", File(t2), "--type", "2"});
  EXPECT_EQ(r2.exitCode, 0) << r2.err;
  EXPECT_THAT(r2.out, HasSubstr("serial:         10000\n"));
}

TEST_F(SnlctlTest, VpdRefusesUnusableFilesAndTypes) {
  Bytes image = Type22Image({});
  ExpectRefused({"vpd", File(Bytes(100)), "--type", "22"},
                "is too short: 100 bytes, type 22 needs 132 (or 128 without the host part)");
  ExpectRefused({"vpd", File(Bytes(130)), "--type", "22"}, "of a wrong size: 130 bytes");
  ExpectRefused({"vpd", File(Bytes(133)), "--type", "22"}, "is too large");
  ExpectRefused({"vpd", File(Bytes(8 << 20)), "--type", "22"}, "is too large: more than 132 bytes");
  ExpectRefused({"vpd", File(Bytes(132)), "--type", "4"}, "type 4 needs 256\n");
  std::string dir = std::filesystem::path(File(image)).parent_path();
  ExpectRefused({"vpd", dir + "/none", "--type", "22"}, "cannot open VPD file '" + dir + "/none': No such file");
  ExpectRefused({"vpd", dir, "--type", "22"}, "cannot read VPD file '" + dir + "': Is a directory");
  ExpectRefused({"vpd", File(image), "--type", "x"}, "VPD type 'x' is not a number");
  ExpectRefused({"vpd", File(image), "--type", "100"}, "invalid VPD type 100: known types are 2, 4, 8, 22");
  // The library refuses the type with its own message (stored in ISO 8859-1, shown in UTF-8).
  ExpectRefused({"vpd", File(image), "--type", "3"},
                "invalid VPD type 3: N\xc3\xa3o foi poss\xc3\xadvel identificar interface de "
                "comunica\xc3\xa7\xc3\xa3o de uma ou mais placas!");
}

}  // namespace
