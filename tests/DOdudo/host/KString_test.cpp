// Bounded formatting, the exception family, the hex and file-name helpers.
#include "DOdudo/host/KString.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KFile.h"
#include "DOdudo/host/KHex.h"
#include "support/LoopbackPeer.h"
#include "tools/RunTool.h"

using dodudo::kstring;
using Bytes = std::vector<unsigned char>;

TEST(KStringFormat, LengthsOnBothSidesOfEachBuffer) {
  for (size_t length : {0u, 2047u, 2048u, 20479u}) {
    std::string body(length, 'x');
    EXPECT_EQ(dodudo::fstring("%s", body.c_str()), body) << length;
  }
  kstring text("before");
  std::string body(20480, 'y');
  EXPECT_EQ(snltest::TextOf<std::runtime_error>([&] { text.sprintf("%s", body.c_str()); }),
            "cannot assign string bigger than 20KB");
  EXPECT_EQ(text, "before");
  text.vFormat(nullptr, nullptr);
  EXPECT_TRUE(text.empty());
  // The bound applies to each appended part, not to the total.
  for (int i = 0; i < 12; ++i) text.AppendFormat("%s", std::string(2000, 'b').c_str());
  EXPECT_EQ(text, std::string(24000, 'b'));
}

TEST(KException, MessageFileLineAndTags) {
  EXPECT_STREQ(KBaseException(nullptr).what(), "");
  EXPECT_STREQ(dodudo::KException(kstring("100%d")).what(), "100%d");  // no format
  EXPECT_THROW(KBaseException("%s", std::string(20480, 'z').c_str()), std::runtime_error);
  dodudo::KException placed("mod.cpp", 42, "failed %s", "here");
  EXPECT_STREQ(placed.what(), "failed here");
  EXPECT_TRUE(placed.GetFile() == "mod.cpp" && placed.GetLine() == 42);
  EXPECT_EQ(dodudo::KException("x").GetFile(), "Unknown");
  try {
    throw KTemplateException<int>("tag %s", "A");
  } catch (const KTemplateException<long>&) {
    FAIL() << "caught by the wrong tag";
  } catch (const KBaseException& e) {
    EXPECT_STREQ(e.what(), "tag A");
  }
}

TEST(KHex, SeparatorsOddTailAndRoundTrip) {
  const unsigned char data[] = {0x01, 0xAB, 0x00};
  EXPECT_EQ(dodudo::DataToHex(data, 3, ", "), "01, AB, 00");
  EXPECT_EQ(dodudo::DataToHex(data, 0, ":"), "");
  const struct {
    std::string text, separators;
    Bytes bytes;
  } cases[] = {
      {"0A-ff 3", "- ", {0x0A, 0xFF, 0x03}},
      {"01::--02", ":-", {0x01, 0x02}},
      {"zz01", "", {0x00, 0x01}},  // bad digits give 0
      {std::string("1\0002", 3), "", {0x01, 0x02}},
  };
  for (const auto& c : cases) EXPECT_EQ(dodudo::HexToData(c.text, c.separators), c.bytes) << c.text;
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  dodudo::HexToData(dodudo::DataToHex(all.data(), 256, " "), all, " ");  // appends
  EXPECT_EQ(Bytes(all.begin() + 256, all.end()), Bytes(all.begin(), all.begin() + 256));
}

TEST(KFile, PathsAndUniqueNames) {
  const snltest::TempDir temp;
  const std::string& dir = temp.path;
  ASSERT_EQ(chdir(dir.c_str()), 0);
  auto touch = [](const std::string& name) { std::ofstream(name).put('x'); };
  auto unique = [&](const char* name) {
    return dodudo::file::UniquifyFilename(dir + "/" + name).substr(dir.size() + 1);
  };
  mkdir("run.d", 0755);
  touch("run.d/a.log");
  EXPECT_EQ(dodudo::file::DirectoryPart("run.d/../run.d/a.log"), dir + "/run.d");
  EXPECT_EQ(dodudo::file::FilenamePart("run.d/none.log"), "");
  EXPECT_EQ(unique("run.d/a.log"), "run.d/a.1.log");
  touch("run.d/out");  // a dot in a directory name is no extension
  EXPECT_EQ(unique("run.d/out"), "run.d/out.1");
  for (int n = 1; n <= 99; ++n) touch("run.d/a." + std::to_string(n) + ".log");
  const std::string stamped = unique("run.d/a.log");  // after a hundred names: the time
  EXPECT_EQ(stamped.substr(0, 8) + stamped.substr(stamped.size() - 4), "run.d/a..log");
  EXPECT_GT(std::stoll(stamped.substr(8)), 1600000000LL);
}
