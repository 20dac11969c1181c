#include "DOdudo/host/KString.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using dodudo::fstring;
using dodudo::kstring;

TEST(KStringFormat, LengthsOnBothSidesOfEachBuffer) {
  for (size_t length : {0u, 2047u, 2048u, 20479u}) {
    std::string body(length, 'x');
    kstring text;
    text.sprintf("%s", body.c_str());
    EXPECT_EQ(text, body) << length;
  }
  kstring text("before");
  std::string body(20480, 'y');
  try {
    text.sprintf("%s", body.c_str());
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "cannot assign string bigger than 20KB");
  }
  EXPECT_EQ(text, "before");
  EXPECT_THROW(fstring("%s", body.c_str()), std::runtime_error);
}

TEST(KStringFormat, NullFormatAppendAndStandardStringInterop) {
  kstring text("abc");
  text.vFormat(nullptr, nullptr);
  EXPECT_TRUE(text.empty());
  text.AppendFormat("%d-%s", 7, "x");
  text.AppendFormat("%c", '!');
  EXPECT_EQ(text, "7-x!");
  // The bound applies to each appended part, not to the total.
  std::string big(2000, 'b');
  for (int i = 0; i < 12; ++i) text.AppendFormat("%s", big.c_str());
  EXPECT_EQ(text.size(), 4u + 24000u);

  fstring name("config[%s]", "app.cfg");
  std::string plain = name;
  kstring back = plain + "!";
  EXPECT_EQ(back, "config[app.cfg]!");
}
