// The records exchanged with a log server, byte for byte.
#include "DOdudo/KLogMessage.h"

#include <gmock/gmock.h>

#include "DOdudo/KLogServerLink.h"
#include "DOdudo/LB9/Basics/KBuffer.h"

namespace {

std::string Bytes(dodudo::KSerializable& record) {
  std::string frame;
  KLogServerLink::AppendFrame(frame, record);
  return frame;
}

TEST(KLogMessage, FramedBytes) {
  dodudo::KLogMessage line("klog", "x\n");
  EXPECT_EQ(std::string("\x10\0\0\0"
                        "\x05\0\0\0klog\0"
                        "\x03\0\0\0x\n\0",
                        20),
            Bytes(line));
  dodudo::KLogMessage request("0", "config_reload");
  EXPECT_EQ(std::string("\x18\0\0\0"
                        "\x02\0\0\0"
                        "0\0"
                        "\x0e\0\0\0config_reload\0",
                        28),
            Bytes(request));
  // Decoding reads the same record back.
  dodudo::KLogMessage back;
  std::string frame = Bytes(line);
  dodudo::KBufferDeserializer reader(frame.data() + 4, static_cast<unsigned int>(frame.size() - 4));
  back.Serialize(reader);
  EXPECT_EQ("klog", back.name);
  EXPECT_EQ("x\n", back.text);
}

TEST(KReloadMessage, TypesAndTheirFilter) {
  dodudo::KReloadMessage reload(dodudo::KReloadMessage::kReloadConfigs);
  EXPECT_EQ(std::string("\x04\0\0\0\x01\0\0\0", 8), Bytes(reload));
  try {
    reload.GetLogFilter();
    FAIL() << "a type-1 record has no filter";
  } catch (const KTemplateException<dodudo::KReloadMessage::KType>& e) {
    EXPECT_STREQ("GetLogFilter: Invalid type here.", e.what());
  }

  dodudo::KReloadMessage filter(dodudo::KReloadMessage::kLogFilter);
  filter.GetLogFilter().OverwriteOption(klogSNL, 0x5);
  std::string frame = Bytes(filter);
  // count, type 2, then the filter: 29 sources of 9 bytes between its count and its 17-byte tail
  ASSERT_EQ(4u + 4 + 4 + 29 * 9 + 17, frame.size());
  EXPECT_EQ(std::string("\x1e\x01\0\0\x02\0\0\0\x1d\0\0\0", 12), frame.substr(0, 12));
  EXPECT_EQ(std::string("\x05\0\0\0\x01\0\0\0\0", 9), frame.substr(12 + 14 * 9, 9));

  dodudo::KReloadMessage back;
  back.Decode(frame.data() + 4, static_cast<unsigned int>(frame.size() - 4));
  EXPECT_EQ(dodudo::KReloadMessage::kLogFilter, back.Type());
  EXPECT_EQ(0x5u, back.GetLogFilter().Active(klogSNL));
  EXPECT_TRUE(back.GetLogFilter().Overwritten(klogSNL));

  // Other types carry nothing and parse as such.
  dodudo::KReloadMessage other;
  other.Decode("\x07\0\0\0", 4);
  EXPECT_EQ(7, other.Type());
}

TEST(KReloadMessage, MalformedRecordsAreRefusedWhole) {
  dodudo::KReloadMessage filter(dodudo::KReloadMessage::kLogFilter);
  std::string record = Bytes(filter).substr(4);
  dodudo::KReloadMessage back;
  EXPECT_THROW(back.Decode(record.data(), static_cast<unsigned int>(record.size() - 1)),
               std::exception);
  std::string longer = record + "z";
  EXPECT_THROW(back.Decode(longer.data(), static_cast<unsigned int>(longer.size())),
               std::exception);
  EXPECT_THROW(back.Decode("\x01\0\0", 3), std::exception);
  // A forged source count cannot read past the record.
  std::string forged = std::string("\x02\0\0\0\xff\xff\xff\xff", 8) + std::string(40, '\0');
  EXPECT_THROW(back.Decode(forged.data(), static_cast<unsigned int>(forged.size())),
               std::exception);
}

}  // namespace
