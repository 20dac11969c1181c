#include "DOdudo/config/KConfigReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/LoopbackPeer.h"
#include "tools/RunTool.h"

namespace {

using Strings = std::vector<std::string>;
using snltest::TextOf;

// Records the reader's warnings instead of dropping them.
class RecordingReader : public KConfigReader {
 public:
  void Warning(const char* text) override { warnings.emplace_back(text); }
  Strings warnings;
};

// Every entry as "key|value", or the raw text of a verbatim entry.
Strings Entries(KConfigReader& reader) {
  Strings out;
  for (KListNode* n = reader.Head(); n != nullptr; n = n->next) {
    auto* item = static_cast<KConfigItem*>(n->data);
    out.push_back(item->IsVerbatim() ? std::string(item->text)
                                     : std::string(item->Key()) + "|" + item->Value());
  }
  return out;
}

class KConfigReaderTest : public ::testing::Test {
 protected:
  void Load(const std::string& text) {
    reader_.LoadFile(temp_.Write("app.cfg", text).c_str(), false);
  }
  std::string Suffix() const { return "(config[" + path_ + "])"; }

  snltest::TempDir temp_;
  const std::string dir_ = temp_.path, path_ = dir_ + "/app.cfg";
  RecordingReader reader_;
};

}  // namespace

TEST_F(KConfigReaderTest, LoadFileKeepsEveryLineUntrimmed) {
  Load("# comment\nName = x\nMaxLogFileSize=10\r\n[A]\n\n=v\nflag\n>raw = text\nx=1\nx=2");
  EXPECT_EQ(Entries(reader_), (Strings{"Name | x", "MaxLogFileSize|10", "[A]|", "|", "|v", "flag|",
                                       ">raw = text\n", "x|1", "x|2"}));
  EXPECT_STREQ(reader_.GetString("Name "), " x");
  EXPECT_THROW(reader_.GetString("Name"), KItemNotFoundException);
  EXPECT_EQ(reader_.GetInteger("maxlogfilesize"), 10);
  EXPECT_STREQ(reader_.GetString("X"), "1");
}

// Lines longer than the 200-byte read buffer are split; keys and values are cut at 99 characters.
TEST_F(KConfigReaderTest, LongLinesAreSplitAndFieldsCutNeverOverrun) {
  Load(std::string(150, 'k') + "=1\nshort=" + std::string(150, 'v') + "\n" + std::string(250, 'a') +
       "\n>" + std::string(300, 'b') + "\n");
  EXPECT_EQ(Entries(reader_), (Strings{std::string(99, 'k') + "|1", "short|" + std::string(99, 'v'),
                                       std::string(99, 'a') + "|", std::string(51, 'a') + "|",
                                       ">" + std::string(198, 'b'), std::string(99, 'b') + "|"}));
  reader_.SetValue(std::string(120, 'n').c_str(), std::string(120, 'w').c_str());
  EXPECT_EQ(Entries(reader_).back(), std::string(99, 'n') + "|" + std::string(99, 'w'));
}

TEST_F(KConfigReaderTest, MissingFileWithAndWithoutCreate) {
  EXPECT_EQ(TextOf([&] { reader_.LoadFile(path_.c_str(), false); }),
            "Config file not found" + Suffix());
  EXPECT_EQ(TextOf([&] { reader_.LoadSection(path_.c_str(), "A"); }),
            "Config file not found" + Suffix());
  // The warning names the whole path, not the stored name cut to 255 characters.
  const std::string deep = dir_ + "/" + std::string(250, 'd'), created = deep + "/new.cfg";
  ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  reader_.LoadFile(created.c_str(), true);
  EXPECT_EQ(reader_.warnings, (Strings{"File " + created + " not found, trying to create...",
                                       "File created successfully"}));
  EXPECT_EQ(access(created.c_str(), F_OK), 0);
  reader_.LoadFile((dir_ + "/no/such/dir.cfg").c_str(), true);  // cannot be created: no error
  EXPECT_EQ(reader_.warnings.size(), 3u);
}

TEST_F(KConfigReaderTest, LoadSectionSelectsTrimsAndValidatesHeaders) {
  Load("[A]\nx=1\n[B]\n# c\n\n  Name =  x \t\nbare\n[C]\ny=3\n");
  reader_.LoadSection(path_.c_str(), "b");  // replaces what LoadFile read
  EXPECT_EQ(Entries(reader_), (Strings{"  Name |x", "bare|"}));
  EXPECT_EQ(TextOf([&] { reader_.LoadSection(path_.c_str(), "D"); }),
            "Section [D] not found" + Suffix());
  std::ofstream(path_) << "[A]\nx=1\n[B\n";
  // Also right after the wanted section; what was read before the failure stays.
  EXPECT_EQ(TextOf([&] { reader_.LoadSection(path_.c_str(), "a"); }),
            "Invalid section [[B\n]" + Suffix());
  EXPECT_EQ(Entries(reader_), (Strings{"x|1"}));
  // A read error (a directory opens but cannot be read) is reported by LoadSection only.
  EXPECT_EQ(TextOf([&] { reader_.LoadSection(dir_.c_str(), "A"); }),
            "Error reading configuration file (errno=21)(config[" + dir_ + "])");
  reader_.LoadFile(dir_.c_str(), false);
  EXPECT_EQ(reader_.Count(), 0u);
}

TEST_F(KConfigReaderTest, GettersUndefinedMarkerDecimalCommasAndLists) {
  Load(
      "I=-12\nMs=10ms\nBig=99999999999\nMask=ff\nNeg=-2\nRate=1,5\nU=@\nU5=5@\nBad=abc\n"
      "Enabled=TRUE\nOne=1\nIds=1,2,@3, 4x,abc\nPorts= 10 , 20 ,,30\n");
  EXPECT_EQ(reader_.GetInteger("I"), -12);
  EXPECT_EQ(reader_.GetInteger("Ms"), 10);
  EXPECT_EQ(reader_.GetInteger("Big"), 2147483647);  // as on a 32-bit host
  EXPECT_EQ(reader_.GetHexadecimal("Mask"), 255);
  EXPECT_EQ(reader_.GetHexadecimal("Neg"), -2);
  EXPECT_DOUBLE_EQ(reader_.GetDouble("Rate"), 1.5);
  EXPECT_STREQ(reader_.GetString("Rate"), "1.5");
  EXPECT_TRUE(reader_.GetBool("Enabled") && !reader_.GetBool("One") && !reader_.GetBool("U"));
  EXPECT_EQ(TextOf([&] { reader_.GetInteger("u"); }), "Config item [u] undefined (=@)" + Suffix());
  EXPECT_THROW(reader_.GetDouble("U5"), KValueUndefinedException);
  EXPECT_EQ(TextOf([&] { reader_.GetInteger("bad"); }),
            "Invalid config value [bad=abc]" + Suffix());
  EXPECT_EQ(TextOf([&] { reader_.GetInteger("No"); }), "Config item [No] not found" + Suffix());
  // Comma-separated lists.
  char out[100];
  EXPECT_TRUE(reader_.GetStringAtPos("Ports", out, 1) && std::string(out) == " 20 ");
  EXPECT_FALSE(reader_.GetStringAtPos("Ports", out, 2));  // an empty field
  EXPECT_TRUE(reader_.IsContained("Ids", 4) && !reader_.IsContained("Ids", 3));
  KConfigReader fields;
  reader_.GetFieldList("Ports", &fields);
  EXPECT_EQ(Entries(fields), (Strings{"10|", "20|", "30|"}));
}

TEST_F(KConfigReaderTest, DefaultsWarnOnlyForMissingKeys) {
  Load("Timeout=@\nLevel=abc\nName=@\n");
  EXPECT_EQ(reader_.GetIntDef("Timeout", 7), 7);
  EXPECT_STREQ(reader_.GetStringDef("Name", "d"), "@");
  EXPECT_TRUE(reader_.warnings.empty());
  EXPECT_EQ(reader_.GetIntDef("Missing", 7), 7);
  EXPECT_EQ(reader_.GetHexDef("Missing", 255), 255);
  EXPECT_DOUBLE_EQ(reader_.GetDoubleDef("Missing", 2.5), 2.5);
  EXPECT_FALSE(reader_.GetBoolDef("Missing", false));
  EXPECT_STREQ(reader_.GetStringDef("Missing", "dflt"), "dflt");
  std::string where = " used for configuration [" + path_ + "][Missing]";
  EXPECT_EQ(reader_.warnings,
            (Strings{"Default value (7)" + where, "Default value (0xFF)" + where,
                     "Default value (2.500000)" + where, "Default value (false)" + where,
                     "Default value (\"dflt\")" + where}));
  EXPECT_EQ(TextOf([&] { reader_.GetIntDef("Level", 1); }),
            "Invalid config value [Level=abc]" + Suffix());
}

TEST_F(KConfigReaderTest, SaveFileRoundTripAndFailures) {
  Load("# dropped\n[A]\nx=1\n>keep me\n[B]\nx=2\nempty=\n");
  reader_.SetValue("x", "9");
  reader_.SetValue("New", "v");
  reader_.SaveFile();
  EXPECT_EQ(temp_.Read("app.cfg"), "x=9\n>keep me\n\nx=2\nNew=v\n");

  reader_.SetConfigFileName((dir_ + "/missing/dir.cfg").c_str());
  EXPECT_EQ(TextOf([&] { reader_.SaveFile(); }),
            "Could not open file for writing(config[" + dir_ + "/missing/dir.cfg])");
  reader_.SetConfigFileName("/dev/full");
  EXPECT_EQ(TextOf([&] { reader_.SaveFile(); }),
            "Error writing configuration file (errno=28)(config[/dev/full])");
}
