// Envelope and hello wire bytes, the packet-id counter and the trace text of the name registry.
#include "DOdudo/comm/KEnvelope.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/KIPC/IpcTestSupport.h"
#include "DOdudo/LogTestSupport.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/comm/KHelloMsg.h"
#include "support/LoopbackPeer.h"

using comm::KCommChannel;
using comm::KEnvelope;
using ipctest::Bytes;
using ipctest::Decode;
using ipctest::Encode;

TEST(KEnvelope, HeaderBytesAndSyncBit) {
  KEnvelope::_PacketIdSeed = 0;
  KEnvelope reply(1, 3, 0, 7);
  const Bytes plain = {0x01, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(Encode(reply), plain);
  EXPECT_FALSE(reply.SendPromptly());
  reply.SetSync(true);
  Bytes sync = plain;
  sync[2] = 0x81;
  EXPECT_EQ(Encode(reply), sync);
  EXPECT_TRUE(reply.SendPromptly());  // a buffered sender flushes a request at once

  KEnvelope back;
  Decode(sync, back);
  EXPECT_TRUE(back.IsSync());
  EXPECT_EQ(back.Description(), "ENV(p1,m1,c3,g0,i7 sz=0)");
  Decode(plain, back);  // a clear bit 7 leaves an already set flag alone
  EXPECT_TRUE(back.IsSync());
  EXPECT_EQ(Encode(KEnvelope(0xFF, 0))[2], 0x7F);  // a module above 127 never leaks into it
}

TEST(KEnvelope, PayloadRoundTripCopyAndLimit) {
  KEnvelope request(5, 0x1234, -1, 0x01020304, dodudo::kstring("abc"));
  request.SetAnswered(true);
  Bytes wire = Encode(request);
  EXPECT_EQ(Bytes(wire.begin() + 3, wire.end()),
            (Bytes{0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x08,
                   0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 'a',  'b',  'c',  0x00}));

  KEnvelope copy(request);
  EXPECT_TRUE(copy.IsAnswered());
  dodudo::kstring text;
  copy.GetPayload(text);
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(copy.Description(),
            dodudo::fstring("ENV(p%d,m5,c4660,g-1,i16909060 sz=8)", request.GetPacketId()));
  copy.Reset();  // a reused envelope is a new, unanswered one
  EXPECT_EQ(copy.Description(),
            dodudo::fstring("ENV(p%d,m0,c0,g-1,i-1 sz=0)", request.GetPacketId() + 1));
  EXPECT_FALSE(copy.IsAnswered());

  // 8096 bytes of payload go; 8097 are refused when building and when reading.
  dodudo::KBufferHolder big(8096 - 4), tooBig(8097 - 4);
  EXPECT_NO_THROW(KEnvelope(2, 1, 0, 0, big));
  EXPECT_EQ(snltest::TextOf<dodudo::KException>([&] { KEnvelope(2, 1, 0, 0, tooBig); }),
            "Maximum buffer size of 8096 exceeded (8097)");
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

  // Four threads take the 65536 ids of one full turn: each must appear exactly once.
  std::vector<std::vector<uint16_t>> taken(4);
  logtest::InThreads(4, [&taken](int t) {
    for (int n = 0; n < 16384; ++n) taken[t].push_back(KEnvelope().GetPacketId());
  });
  std::set<uint16_t> all;
  for (const auto& ids : taken) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), 65536u);
}

TEST(KHelloMsg, BytesAndServiceNames) {
  comm::KHelloMsg hello(comm::KHelloMsg::Z7M_SERVER, 2, 1, 5);
  EXPECT_EQ(Encode(hello), (Bytes{0x53, 0x4D, 0x37, 0x5A, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                  0x00, 0x05, 0x00, 0x00, 0x00}));
  comm::KHelloMsg back;
  Decode(Encode(hello), back);
  EXPECT_EQ(back.Build, 5u);
  EXPECT_STREQ(back.ServiceName(), "Z7M Server");
  for (auto [id, name] : {std::pair<uint32_t, const char*>{0x44565850, "DVX Server"},
                          {0x54564D48, "VoIP Media Handler"},
                          {0x5A374D20, "Z7M"},
                          {0x5A374D54, "unknown"}})
    EXPECT_STREQ(comm::KHelloMsg::ServiceName(id), name);
}

// Commands name outgoing envelopes, events incoming ones; the first table of a module stays, and
// a repeated number keeps its first name.
TEST(KCommVerbose, TraceText) {
  EXPECT_EQ(KCommChannel::MaxMessageNameLength(), 6u);
  EXPECT_FALSE(KCommChannel::AreMessageStringsRegistered(1));
  EXPECT_TRUE(KCommChannel::RegisterMessageStrings(1, "COMM  ", 12, comm::MessageIdStringsComm, 12,
                                                   comm::MessageIdStringsComm));
  EXPECT_TRUE(KCommChannel::AreMessageStringsRegistered(1));
  EXPECT_EQ(KCommChannel::MaxMessageNameLength(), 14u);
  const comm::Msg_t other[] = {{1, "SOMETHING_ELSE_ENTIRELY"}};
  EXPECT_FALSE(KCommChannel::RegisterMessageStrings(1, "XXXX  ", 1, other, 1, other));
  EXPECT_EQ(KCommChannel::MaxMessageNameLength(), 14u);

  KEnvelope::_PacketIdSeed = 11;
  EXPECT_EQ(KCommChannel::Verbose(true, KEnvelope(1, 1, 0, 0)),
            "TX> P00012|COMM  : HELLO          g0 i000 ( 0) ");
  EXPECT_EQ(KCommChannel::Verbose(false, KEnvelope(1, 42, 3, 1234, dodudo::KPlainData<bool>(true))),
            "RX< P00013|COMM  : MSG_42         g3 i1234 ( 1) 01");
  EXPECT_EQ(KCommChannel::Verbose(true, KEnvelope(9, 7, -1, -1, dodudo::kstring("ab"))),
            "TX> P00014|MOD_09: MSG_07         g-1 i-01 ( 7) 03000000616200");

  const comm::Msg_t commands[] = {{1, "START"}, {1, "DUPLICATE"}};
  const comm::Msg_t events[] = {{1, "STARTED_AND_RUNNING"}};
  EXPECT_TRUE(KCommChannel::RegisterMessageStrings(20, "APP   ", 2, commands, 1, events));
  KEnvelope envelope(20, 1, 0, 0);
  EXPECT_EQ(KCommChannel::Verbose(true, envelope),
            "TX> P00015|APP   : START               g0 i000 ( 0) ");
  EXPECT_EQ(KCommChannel::Verbose(false, envelope),
            "RX< P00015|APP   : STARTED_AND_RUNNING g0 i000 ( 0) ");
}
