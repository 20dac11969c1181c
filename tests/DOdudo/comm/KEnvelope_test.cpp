// Envelope and hello wire bytes, the packet-id counter and the trace text of the name registry.
#include "DOdudo/comm/KEnvelope.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KHelloMsg.h"

using Bytes = std::vector<unsigned char>;
using comm::KEnvelope;

namespace {

Bytes Encode(const dodudo::KSerializable& object) {
  dodudo::KBufferHolder holder;
  holder.Store(object);
  return Bytes(holder.Data(), holder.Data() + holder.Size());
}

void Decode(const Bytes& bytes, dodudo::KSerializable& object) {
  dodudo::KBufferDeserializer reader(bytes.data(), static_cast<unsigned int>(bytes.size()));
  object.Serialize(reader);
}

void RegisterComm() {
  comm::KCommChannel::RegisterMessageStrings(1, "COMM  ", 12, comm::MessageIdStringsComm, 12,
                                             comm::MessageIdStringsComm);
}

}  // namespace

TEST(KEnvelope, HeaderBytesAndSyncBit) {
  KEnvelope::_PacketIdSeed = 0;
  KEnvelope reply(1, 3, 0, 7);
  EXPECT_EQ(reply.GetPacketId(), 1);
  const Bytes plain = {0x01, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Encode(reply), plain);
  EXPECT_FALSE(reply.SendPromptly());
  EXPECT_EQ(dodudo::KSerialSizeCalculator::Measure(reply), 17u);

  reply.SetSync(true);
  Bytes sync = plain;
  sync[2] = 0x81;
  EXPECT_EQ(Encode(reply), sync);
  EXPECT_TRUE(reply.SendPromptly());  // a buffered sender flushes a request at once

  KEnvelope back;
  Decode(sync, back);
  EXPECT_EQ(back.GetModule(), 1);
  EXPECT_TRUE(back.IsSync());
  EXPECT_EQ(back.GetPacketId(), 1);
  EXPECT_EQ(back.GetI(), 7);
  // A clear bit 7 leaves an already set flag alone.
  Decode(plain, back);
  EXPECT_TRUE(back.IsSync());

  // A module above 127 cannot leak into the sync bit.
  KEnvelope wide(0xFF, 0);
  EXPECT_EQ(Encode(wide)[2], 0x7F);
}

TEST(KEnvelope, PayloadRoundTripCopyAndLimit) {
  KEnvelope request(5, 0x1234, -1, 0x01020304, dodudo::kstring("abc"));
  request.SetAnswered(true);
  Bytes wire = Encode(request);
  ASSERT_EQ(wire.size(), 17u + 8u);
  EXPECT_EQ(Bytes(wire.begin() + 3, wire.end()),
            (Bytes{0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x08,
                   0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 'a',  'b',  'c',  0x00}));

  KEnvelope copy(request);
  EXPECT_EQ(copy.GetPacketId(), request.GetPacketId());
  EXPECT_TRUE(copy.IsAnswered());
  dodudo::kstring text;
  copy.GetPayload(text);
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(copy.Description(),
            dodudo::fstring("ENV(p%d,m5,c4660,g-1,i16909060 sz=8)", request.GetPacketId()));

  copy.Reset();
  EXPECT_EQ(copy.GetPacketId(), static_cast<uint16_t>(request.GetPacketId() + 1));
  EXPECT_EQ(copy.Description(), dodudo::fstring("ENV(p%d,m0,c0,g-1,i-1 sz=0)", copy.GetPacketId()));
  EXPECT_FALSE(copy.IsAnswered());

  // 8096 bytes of payload go; 8097 are refused when building and when reading.
  dodudo::KBufferHolder big(8096 - 4);
  EXPECT_NO_THROW(KEnvelope(2, 1, 0, 0, big));
  dodudo::KBufferHolder tooBig(8097 - 4);
  try {
    KEnvelope(2, 1, 0, 0, tooBig);
    ADD_FAILURE() << "no exception";
  } catch (const dodudo::KException& e) {
    EXPECT_STREQ(e.what(), "Maximum buffer size of 8096 exceeded (8097)");
  }
  Bytes forged(17 + 8097, 0);
  forged[13] = 0xA1;  // 8097 = 0x1FA1
  forged[14] = 0x1F;
  KEnvelope target(3, 3, 3, 3, dodudo::kstring("keep"));
  EXPECT_THROW(Decode(forged, target), dodudo::KException);
  target.GetPayload(text);
  EXPECT_EQ(text, "keep");
}

TEST(KEnvelope, PacketIdsWrapAndStayDistinctAcrossThreads) {
  KEnvelope::_PacketIdSeed = 65534;
  EXPECT_EQ(KEnvelope().GetPacketId(), 65535);
  EXPECT_EQ(KEnvelope().GetPacketId(), 0);
  EXPECT_EQ(KEnvelope().GetPacketId(), 1);

  // Four threads take the 65536 ids of one full turn: each must appear exactly once.
  std::vector<std::vector<uint16_t>> taken(4);
  std::vector<std::thread> threads;
  for (auto& ids : taken)
    threads.emplace_back([&ids] {
      for (int n = 0; n < 16384; ++n) ids.push_back(KEnvelope().GetPacketId());
    });
  for (auto& thread : threads) thread.join();
  std::set<uint16_t> all;
  for (auto& ids : taken) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), 65536u);
}

TEST(KHelloMsg, BytesAndServiceNames) {
  comm::KHelloMsg hello(comm::KHelloMsg::Z7M_SERVER, 2, 1, 5);
  EXPECT_EQ(Encode(hello), (Bytes{0x53, 0x4D, 0x37, 0x5A, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                  0x00, 0x05, 0x00, 0x00, 0x00}));
  comm::KHelloMsg back;
  Decode(Encode(hello), back);
  EXPECT_EQ(back.ServiceId, 0x5A374D53u);
  EXPECT_EQ(back.Build, 5u);
  EXPECT_STREQ(back.ServiceName(), "Z7M Server");
  EXPECT_STREQ(comm::KHelloMsg::ServiceName(0x44565850), "DVX Server");
  EXPECT_STREQ(comm::KHelloMsg::ServiceName(0x54564D48), "VoIP Media Handler");
  EXPECT_STREQ(comm::KHelloMsg::ServiceName(0x5A374D20), "Z7M");
  EXPECT_STREQ(comm::KHelloMsg::ServiceName(0x5A374D54), "unknown");
}

TEST(KCommVerbose, TraceTextAfterCommTable) {
  EXPECT_EQ(comm::KCommChannel::MaxMessageNameLength(), 6u);
  EXPECT_FALSE(comm::KCommChannel::AreMessageStringsRegistered(1));
  RegisterComm();
  EXPECT_TRUE(comm::KCommChannel::AreMessageStringsRegistered(1));
  EXPECT_EQ(comm::KCommChannel::MaxMessageNameLength(), 14u);

  KEnvelope::_PacketIdSeed = 11;
  KEnvelope probe(1, 10, 0, 0);
  EXPECT_EQ(comm::KCommChannel::Verbose(true, probe),
            "TX> P00012|COMM  : KEEP_ALIVE     g0 i000 ( 0) ");
  KEnvelope unknownCode(1, 42, 3, 1234, dodudo::KPlainData<bool>(true));
  EXPECT_EQ(comm::KCommChannel::Verbose(false, unknownCode),
            "RX< P00013|COMM  : MSG_42         g3 i1234 ( 1) 01");
  KEnvelope unknownModule(9, 7, -1, -1, dodudo::kstring("ab"));
  EXPECT_EQ(comm::KCommChannel::Verbose(true, unknownModule),
            "TX> P00014|MOD_09: MSG_07         g-1 i-01 ( 7) 03000000616200");
}

TEST(KCommVerbose, RegistrationKeepsFirstTableAndSplitsDirections) {
  RegisterComm();
  const comm::Msg_t other[] = {{1, "SOMETHING_ELSE_ENTIRELY"}};
  EXPECT_FALSE(comm::KCommChannel::RegisterMessageStrings(1, "XXXX  ", 1, other, 1, other));
  EXPECT_EQ(comm::KCommChannel::VerboseStrings()[1].commands[1], "HELLO");
  EXPECT_EQ(comm::KCommChannel::MaxMessageNameLength(), 14u);

  // Commands name outgoing envelopes, events incoming ones; a repeated number keeps its first name.
  const comm::Msg_t commands[] = {{1, "START"}, {1, "DUPLICATE"}};
  const comm::Msg_t events[] = {{1, "STARTED_AND_RUNNING"}};
  EXPECT_TRUE(comm::KCommChannel::RegisterMessageStrings(20, "APP   ", 2, commands, 1, events));
  EXPECT_EQ(comm::KCommChannel::MaxMessageNameLength(), 19u);
  KEnvelope::_PacketIdSeed = 0;
  KEnvelope envelope(20, 1, 0, 0);
  EXPECT_EQ(comm::KCommChannel::Verbose(true, envelope),
            "TX> P00001|APP   : START               g0 i000 ( 0) ");
  EXPECT_EQ(comm::KCommChannel::Verbose(false, envelope),
            "RX< P00001|APP   : STARTED_AND_RUNNING g0 i000 ( 0) ");
}
