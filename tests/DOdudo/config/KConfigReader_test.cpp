#include "DOdudo/config/KConfigReader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestIsolation.h"

namespace {

// Records the reader's warnings instead of dropping them.
class RecordingReader : public KConfigReader {
 public:
  void Warning(const char* text) override { warnings.emplace_back(text); }
  std::vector<std::string> warnings;
};

class KConfigReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kconfig_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/app.cfg";
  }
  void TearDown() override { system(("rm -rf " + dir_).c_str()); }

  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  std::string Suffix() const { return "(config[" + path_ + "])"; }
  // Every entry as "key|value", or the raw text of a verbatim entry.
  static std::vector<std::string> Entries(KConfigReader& reader) {
    std::vector<std::string> out;
    for (KListNode* n = reader.Head(); n != nullptr; n = n->next) {
      auto* item = static_cast<KConfigItem*>(n->data);
      out.push_back(item->IsVerbatim() ? std::string(item->text)
                                       : std::string(item->Key()) + "|" + item->Value());
    }
    return out;
  }
  template <typename F>
  std::string MessageOf(F&& call) {
    try {
      call();
    } catch (const KBaseException& e) {
      return e.what();
    }
    return "<no exception>";
  }

  std::string dir_;
  std::string path_;
  RecordingReader reader_;
};

using Strings = std::vector<std::string>;

}  // namespace

TEST_F(KConfigReaderTest, LoadFileKeepsEveryLineUntrimmed) {
  Write("# comment\nName = x\nMaxLogFileSize=10\r\n[A]\n\n=v\nflag\n>raw = text\nx=1\nx=2");
  reader_.LoadFile(path_.c_str(), false);
  EXPECT_EQ(Entries(reader_), (Strings{"Name | x", "MaxLogFileSize|10", "[A]|", "|", "|v", "flag|",
                                       ">raw = text\n", "x|1", "x|2"}));
  EXPECT_STREQ(reader_.GetString("Name "), " x");
  EXPECT_THROW(reader_.GetString("Name"), KItemNotFoundException);
  EXPECT_EQ(reader_.GetInteger("maxlogfilesize"), 10);
  EXPECT_STREQ(reader_.GetString("X"), "1");
  EXPECT_THROW(reader_.Search(">raw "), KItemNotFoundException);
  // A second load appends.
  reader_.LoadFile(dodudo::kstring(path_));
  EXPECT_EQ(reader_.Count(), 18u);
}

TEST_F(KConfigReaderTest, LongLinesAreSplitAndFieldsCutNeverOverrun) {
  std::string longKey(150, 'k'), longValue(150, 'v');
  Write(longKey + "=1\nshort=" + longValue + "\n" + std::string(250, 'a') + "\n>" +
        std::string(300, 'b') + "\n");
  reader_.LoadFile(path_.c_str(), false);
  Strings entries = Entries(reader_);
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0], std::string(99, 'k') + "|1");
  EXPECT_EQ(entries[1], "short|" + std::string(99, 'v'));
  EXPECT_EQ(entries[2], std::string(99, 'a') + "|");   // the first 199 characters
  EXPECT_EQ(entries[3], std::string(51, 'a') + "|");   // the rest of the physical line
  EXPECT_EQ(entries[4], ">" + std::string(198, 'b'));  // a verbatim read fills the block
  EXPECT_EQ(entries[5], std::string(99, 'b') + "|");

  reader_.SetValue(std::string(120, 'n').c_str(), std::string(120, 'w').c_str());
  EXPECT_EQ(Entries(reader_).back(), std::string(99, 'n') + "|" + std::string(99, 'w'));
}

TEST_F(KConfigReaderTest, MissingFileWithAndWithoutCreate) {
  EXPECT_EQ(MessageOf([&] { reader_.LoadFile(path_.c_str(), false); }),
            "Config file not found" + Suffix());
  EXPECT_EQ(MessageOf([&] { reader_.LoadSection(path_.c_str(), "A"); }),
            "Config file not found" + Suffix());
  reader_.LoadFile(path_.c_str(), true);
  EXPECT_EQ(reader_.warnings,
            (Strings{"File " + path_ + " not found, trying to create...", "File created successfully"}));
  EXPECT_EQ(reader_.Count(), 0u);
  struct stat status;
  EXPECT_EQ(stat(path_.c_str(), &status), 0);
  RecordingReader quiet;
  quiet.LoadFile((dir_ + "/no/such/dir.cfg").c_str(), true);
  EXPECT_EQ(quiet.warnings.size(), 1u);
  EXPECT_EQ(quiet.Count(), 0u);
}

TEST_F(KConfigReaderTest, LoadSectionSelectsTrimsAndValidatesHeaders) {
  Write("[A]\nx=1\n[B]\n# c\n\n  Name =  x \t\nbare\n[C]\ny=3\n");
  reader_.LoadFile(path_.c_str(), false);  // replaced by the section load
  reader_.LoadSection(path_.c_str(), "b");
  EXPECT_EQ(Entries(reader_), (Strings{"  Name |x", "bare|"}));
  EXPECT_STREQ(reader_.GetString("  name "), "x");
  reader_.LoadSection(path_.c_str(), "C");
  EXPECT_EQ(Entries(reader_), (Strings{"y|3"}));

  EXPECT_EQ(MessageOf([&] { reader_.LoadSection(path_.c_str(), "D"); }),
            "Section [D] not found" + Suffix());
  EXPECT_EQ(reader_.Count(), 0u);
}

TEST_F(KConfigReaderTest, InvalidHeaderBeforeOrRightAfterTheSection) {
  Write("[A\nx=1\n");
  EXPECT_EQ(MessageOf([&] { reader_.LoadSection(path_.c_str(), "A"); }),
            "Invalid section [[A\n]" + Suffix());
  Write("[A]\nx=1\n[B\n");
  EXPECT_EQ(MessageOf([&] { reader_.LoadSection(path_.c_str(), "A"); }),
            "Invalid section [[B\n]" + Suffix());
  // Entries read before the failure stay.
  EXPECT_EQ(Entries(reader_), (Strings{"x|1"}));
  Write("[A]\nx=1\n[B]");
  reader_.LoadSection(path_.c_str(), "A");
  EXPECT_EQ(Entries(reader_), (Strings{"x|1"}));
}

TEST_F(KConfigReaderTest, NumericGettersAndTheUndefinedMarker) {
  Write("I=-12\nMs=10ms\nBig=99999999999\nMask=ff\nMask2=0xff\nNeg=-2\nRate=1,5\nU=@\nU5=5@\n"
        "Bad=abc\nEnabled=TRUE\nOne=1\n");
  reader_.LoadFile(path_.c_str(), false);
  EXPECT_EQ(reader_.GetInteger("I"), -12);
  EXPECT_EQ(reader_.GetInteger("Ms"), 10);
  EXPECT_EQ(reader_.GetInteger("Big"), 2147483647);  // the same on 32- and 64-bit hosts
  EXPECT_EQ(reader_.GetHexadecimal("Mask"), 255);
  EXPECT_EQ(reader_.GetHexadecimal("Mask2"), 255);
  EXPECT_EQ(reader_.GetHexadecimal("Neg"), -2);
  EXPECT_EQ(reader_.GetHexadecimal("Big"), -1);
  EXPECT_DOUBLE_EQ(reader_.GetDouble("Rate"), 1.5);
  EXPECT_STREQ(reader_.GetString("Rate"), "1.5");
  EXPECT_TRUE(reader_.GetBool("Enabled"));
  EXPECT_FALSE(reader_.GetBool("One"));
  EXPECT_FALSE(reader_.GetBool("U"));
  EXPECT_STREQ(reader_.GetString("U"), "@");

  EXPECT_EQ(MessageOf([&] { reader_.GetInteger("U"); }), "Config item [U] undefined (=@)" + Suffix());
  EXPECT_THROW(reader_.GetDouble("U5"), KValueUndefinedException);
  EXPECT_THROW(reader_.GetHexadecimal("U"), KValueUndefinedException);
  EXPECT_EQ(MessageOf([&] { reader_.GetInteger("Bad"); }), "Invalid config value [Bad=abc]" + Suffix());
  EXPECT_EQ(MessageOf([&] { reader_.GetInteger("Nope"); }), "Config item [Nope] not found" + Suffix());
}

TEST_F(KConfigReaderTest, DefaultsWarnOnlyForMissingKeys) {
  Write("Timeout=@\nLevel=abc\nName=@\n");
  reader_.LoadFile(path_.c_str(), false);
  EXPECT_EQ(reader_.GetIntDef("Timeout", 7), 7);
  EXPECT_TRUE(reader_.warnings.empty());
  EXPECT_STREQ(reader_.GetStringDef("Name", "d"), "@");
  EXPECT_EQ(reader_.GetIntDef("Missing", 7), 7);
  EXPECT_EQ(reader_.GetHexDef("Missing", 255), 255);
  EXPECT_DOUBLE_EQ(reader_.GetDoubleDef("Missing", 2.5), 2.5);
  EXPECT_FALSE(reader_.GetBoolDef("Missing", false));
  EXPECT_STREQ(reader_.GetStringDef("Missing", "dflt"), "dflt");
  std::string where = "[" + path_ + "][Missing]";
  EXPECT_EQ(reader_.warnings,
            (Strings{"Default value (7) used for configuration " + where,
                     "Default value (0xFF) used for configuration " + where,
                     "Default value (2.500000) used for configuration " + where,
                     "Default value (false) used for configuration " + where,
                     "Default value (\"dflt\") used for configuration " + where}));
  EXPECT_EQ(MessageOf([&] { reader_.GetIntDef("Level", 1); }),
            "Invalid config value [Level=abc]" + Suffix());
  EXPECT_TRUE(reader_.ValueExists("level"));
  EXPECT_FALSE(reader_.ValueExists("Missing"));
}

TEST_F(KConfigReaderTest, CommaSeparatedHelpers) {
  Write("List=a,b,c\nGap=a,,c\nIds=1,2,@3, 4x,abc\nPorts= 10 , 20 ,,30\n");
  reader_.LoadFile(path_.c_str(), false);
  char out[100];
  ASSERT_TRUE(reader_.GetStringAtPos("List", out, 2));
  EXPECT_STREQ(out, "c");
  EXPECT_FALSE(reader_.GetStringAtPos("List", out, 3));
  EXPECT_FALSE(reader_.GetStringAtPos("Gap", out, 1));
  EXPECT_FALSE(reader_.GetStringAtPos("None", out, 0));
  ASSERT_TRUE(reader_.GetStringAtPos("Ports", out, 1));
  EXPECT_STREQ(out, " 20 ");

  EXPECT_TRUE(reader_.IsContained("Ids", 2));
  EXPECT_FALSE(reader_.IsContained("Ids", 3));
  EXPECT_TRUE(reader_.IsContained("Ids", 4));
  EXPECT_FALSE(reader_.IsContained("Ids", 0));  // "@3" and "abc" hold no number
  EXPECT_FALSE(reader_.IsContained("None", 1));

  KConfigReader fields;
  reader_.GetFieldList("Ports", &fields);
  EXPECT_EQ(Entries(fields), (Strings{"10|", "20|", "30|"}));
  EXPECT_THROW(reader_.GetFieldList("None", &fields), KItemNotFoundException);
  EXPECT_TRUE(reader_.warnings.empty());
}

TEST_F(KConfigReaderTest, SaveFileRoundTrip) {
  Write("# dropped\n[A]\nx=1\n>keep me\n[B]\nx=2\nempty=\n");
  reader_.LoadFile(path_.c_str(), false);
  reader_.SetValue("x", "9");
  reader_.SetValue("New", "v");
  reader_.SetValue(nullptr, "ignored");
  reader_.SetValue("Gone", nullptr);  // empty value: not written
  reader_.SaveFile();
  EXPECT_EQ(Read(), "x=9\n>keep me\n\nx=2\nNew=v\n");

  KConfigReader again;
  again.LoadFile(path_.c_str(), false);
  EXPECT_EQ(Entries(again), (Strings{"x|9", ">keep me\n", "|", "x|2", "New|v"}));
}

TEST_F(KConfigReaderTest, SaveFileFailures) {
  reader_.SetConfigFileName((dir_ + "/missing/dir.cfg").c_str());
  EXPECT_EQ(MessageOf([&] { reader_.SaveFile(); }),
            "Could not open file for writing(config[" + dir_ + "/missing/dir.cfg])");
  reader_.SetConfigFileName("/dev/full");
  reader_.SetValue("a", "b");
  EXPECT_EQ(MessageOf([&] { reader_.SaveFile(); }),
            "Error writing configuration file (errno=28)(config[/dev/full])");
}

TEST_F(KConfigReaderTest, FileNameIsCutAt255Characters) {
  std::string name(300, 'n');
  reader_.SetConfigFileName(name.c_str());
  EXPECT_EQ(std::string(reader_.GetConfigFileName()), std::string(255, 'n'));
}

TEST(KConfigReaderWorkDirectory, ReadsFromTheConfigDirectory) {
  SNL_REQUIRE_ISOLATION();
  std::ofstream("/etc/tolma/klog.cfg") << "[Main]\nFullLog= 1\n";
  KConfigReader reader;
  reader.LoadSection("/etc/tolma/klog.cfg", "main");
  EXPECT_EQ(reader.GetIntDef("fulllog", 0), 1);
}
