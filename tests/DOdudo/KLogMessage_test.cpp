// The records exchanged with a log server, byte for byte.
#include "DOdudo/KLogMessage.h"

#include <gmock/gmock.h>

#include "DOdudo/KLogServerLink.h"
#include "DOdudo/LB9/Basics/KBuffer.h"
#include "support/LoopbackPeer.h"

namespace {

std::string Bytes(dodudo::KSerializable& record) {
  std::string frame;
  KLogServerLink::AppendFrame(frame, record);
  return frame;
}

TEST(KLogMessage, FramedBytes) {
  dodudo::KLogMessage line("klog", "x\n");
  EXPECT_EQ(std::string("\x10\0\0\0\x05\0\0\0klog\0\x03\0\0\0x\n\0", 20), Bytes(line));
  dodudo::KLogMessage request("0", "config_reload");
  EXPECT_EQ(std::string("\x18\0\0\0\x02\0\0\0"
                        "0\0\x0e\0\0\0config_reload\0",
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
  EXPECT_EQ("GetLogFilter: Invalid type here.",  // a type-1 record has no filter
            snltest::TextOf<KTemplateException<dodudo::KReloadMessage::KType>>(
                [&] { reload.GetLogFilter(); }));

  dodudo::KReloadMessage filter(dodudo::KReloadMessage::kLogFilter);
  filter.GetLogFilter().OverwriteOption(klogSNL, 0x5);
  std::string frame = Bytes(filter);
  // count, type 2, then the filter's own bytes
  EXPECT_EQ(std::string("\x1e\x01\0\0\x02\0\0\0", 8) + filter.GetLogFilter().ToBytes(), frame);

  dodudo::KReloadMessage back;
  back.Decode(frame.data() + 4, static_cast<unsigned int>(frame.size() - 4));
  EXPECT_EQ(dodudo::KReloadMessage::kLogFilter, back.Type());
  EXPECT_EQ(0x5u, back.GetLogFilter().Active(klogSNL));

  // Other types carry nothing and parse as such.
  dodudo::KReloadMessage other;
  other.Decode("\x07\0\0\0", 4);
  EXPECT_EQ(7, other.Type());
}

TEST(KReloadMessage, MalformedRecordsAreRefusedWhole) {
  dodudo::KReloadMessage filter(dodudo::KReloadMessage::kLogFilter);
  std::string record = Bytes(filter).substr(4);
  // Cut short, one byte too many, a type cut short, a forged source count past the record.
  for (const std::string& bad :
       {record.substr(0, record.size() - 1), record + "z", std::string("\x01\0\0", 3),
        std::string("\x02\0\0\0\xff\xff\xff\xff", 8) + std::string(40, '\0')}) {
    dodudo::KReloadMessage back;
    EXPECT_THROW(back.Decode(bad.data(), static_cast<unsigned int>(bad.size())), std::exception);
  }
}

}  // namespace
