// The one-line form of a record's text, and the parts of a logger's line, byte for byte.
#include <gtest/gtest.h>

#include "tools/snllogd/RecordText.h"

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  snllogd::AppendLine(text, out);
  return out;
}

TEST(RecordText, EscapesWhatCouldForgeALineOrReachATerminal) {
  EXPECT_EQ("a\n", Escaped("a"));
  EXPECT_EQ("a\n", Escaped("a\n"));
  EXPECT_EQ("a\\x0a\n", Escaped("a\n\n"));
  EXPECT_EQ("\n", Escaped(""));
  EXPECT_EQ("\\x0d\\x0a\\x1b\\x00\\x7f\t\n", Escaped(std::string("\r\n\x1b\0\x7f\t", 6)));
  EXPECT_EQ("back\\slash \\x0a\n", Escaped("back\\slash \\x0a"));
  // UTF-8 kept, C1 controls escaped whether encoded or raw, ISO 8859-1 letters kept.
  EXPECT_EQ("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n", Escaped("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  EXPECT_EQ("\\xc2\\x9b\\xc2\\x80\xc2\xa0\n", Escaped("\xc2\x9b\xc2\x80\xc2\xa0"));
  EXPECT_EQ("\\x9b\\x80\xe9\xff\n", Escaped("\x9b\x80\xe9\xff"));
  // Truncated, overlong or surrogate sequences are single bytes: their C1 range is escaped.
  EXPECT_EQ("\xe2\\x82\n", Escaped("\xe2\x82"));
  EXPECT_EQ("\xe0\\x80\\x80\n", Escaped("\xe0\x80\x80"));
  EXPECT_EQ("\xed\xa0\\x80\n", Escaped("\xed\xa0\x80"));
}

TEST(RecordText, SplitsTheLoggersHeader) {
  auto named = snllogd::SplitLine("E|06/12/2026 20:50:21.123|SNL     | text\n");
  EXPECT_EQ('E', named.level);
  EXPECT_EQ("2026-12-06 20:50:21.123", named.time);
  EXPECT_EQ("SNL     | text", named.rest);
  auto device = snllogd::SplitLine("T|06/12/2026 20:50:21.123|D01 C02| text");
  EXPECT_EQ('T', device.level);
  EXPECT_EQ("D01 C02| text", device.rest);
  auto checkpoint = snllogd::SplitLine("T|06/12/2026 20:50:21.123\t\t ***** CHECKPOINT 1 *****\n");
  EXPECT_EQ("\t\t ***** CHECKPOINT 1 *****", checkpoint.rest);
  for (const char* plain : {"X|06/12/2026 20:50:21.123| text", "I|06-12-2026 20:50:21.123| t",
                            "I|06/12/2026 20:50:21", "plain"}) {
    auto parts = snllogd::SplitLine(plain);
    EXPECT_EQ('I', parts.level) << plain;
    EXPECT_EQ("", parts.time) << plain;
    EXPECT_EQ(plain, parts.rest);
  }
}

}  // namespace
