// The comm channel over real loopback connections: keep-alive answers, reply matching, remote
// failures, termination and the server side of the handshake.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "CommTestSupport.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommChannelKeepAlive.h"
#include "support/TestIsolation.h"

using comm::KEnvelope;
using commtest::Count;
using commtest::Shape;
using dodudo::kstring;
using snltest::TextOf;

namespace {

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    Connect();
  }
  void Connect() {
    auto pair = link.Pair();
    channel.SetConnection(pair.first);
    peer.reset(pair.second);
  }

  KEnvelope PeerReceive() {
    KEnvelope envelope;
    EXPECT_TRUE(peer->Receive(envelope));
    return envelope;
  }
  void PeerSend(KEnvelope envelope) { ASSERT_TRUE(peer->Send(envelope)); }
  std::future<int> Ask(KEnvelope& request, dodudo::KSerializable& reply) {
    return std::async(std::launch::async, [&] { return channel.SyncMessage(request, reply); });
  }

  // A reply to request as a server would send it (synchronous flag off).
  static KEnvelope Reply(const KEnvelope& request, uint16_t code, int32_t g,
                         const dodudo::KSerializable& payload = dodudo::KEmptyData()) {
    return KEnvelope(comm::COMM_MODULE, code, g, request.GetPacketId(), payload);
  }

  KLogger logger{klogZ7MClient, -1, "TEST", "commtest", 0, false};
  commtest::Link link;
  comm::KCommChannel channel{logger};
  std::unique_ptr<dodudo::KIpcChannel> peer;
  dodudo::KEmptyData empty;
};

}  // namespace

// A keep-alive probe is answered by the receiving side and never handed over; a request is
// answered once, and only if it asked for an answer.
TEST_F(ChannelTest, KeepAliveAnsweredAndRequestsAnsweredOnce) {
  KEnvelope probe(comm::COMM_MODULE, comm::COMM_KEEP_ALIVE, 0, 0);
  probe.SetSync(true);
  PeerSend(probe);
  KEnvelope request(30, 4, 0, 0);
  request.SetSync(true);
  PeerSend(request);
  KEnvelope got;
  ASSERT_TRUE(channel.Receive(got));
  EXPECT_EQ(got.GetCode(), 4);
  dodudo::KPlainData<bool> yes(true);
  channel.SyncResponse(got, 3, yes);
  channel.SyncResponse(got, 4, yes);
  channel.SyncFailResponse(got, "late", 5);
  KEnvelope async(30, 5, 0, 0);
  channel.SyncResponse(async, 0, yes);
  channel.Send(KEnvelope(30, 10, 0, 0));

  KEnvelope answer = PeerReceive();
  EXPECT_EQ(Shape(answer), "m1,c3,g0,i" + std::to_string(probe.GetPacketId()) + " sz=0)");
  EXPECT_FALSE(answer.IsSync());
  EXPECT_EQ(Shape(PeerReceive()), "m1,c3,g3,i" + std::to_string(request.GetPacketId()) + " sz=1)");
  EXPECT_EQ(PeerReceive().GetCode(), 10);  // nothing else came between
  for (const std::string& line :
       {"W Envelope already answered [" + request.Description() + "]",
        "W Fail on envelope already answered [" + request.Description() + "]",
        "W Trying to send a sync response to an async envelope [" + async.Description() + "]"})
    EXPECT_EQ(Count("commtest", line), 1) << line;
  channel.SignTermination();
}

// Replies are matched by packet id. The receiving thread must never overwrite a reply the
// requester has not read yet: a stale reply right behind the good one used to win that race now
// and then.
TEST_F(ChannelTest, RepliesMatchedForeignAndStaleOnesDropped) {
  commtest::Receiver receiver(channel);
  std::string dropped;
  for (int round = 0; round < 200; ++round) {
    kstring reply;
    KEnvelope request(30, 2, round, 0, kstring("question"));
    auto result = Ask(request, reply);
    KEnvelope seen = PeerReceive();
    ASSERT_TRUE(seen.IsSync());
    if (round == 0) {
      KEnvelope foreign(comm::COMM_MODULE, comm::COMM_SYNC_RESPONSE, 9, seen.GetPacketId() + 100,
                        kstring("wrong"));
      PeerSend(foreign);
      dropped = "N Response dropped! Expected " + std::to_string(seen.GetPacketId()) +
                " received " + std::to_string(seen.GetPacketId() + 100) + " packet=[" +
                foreign.Description() + "]";
    }
    PeerSend(Reply(seen, comm::COMM_SYNC_RESPONSE, round, kstring(std::to_string(round))));
    PeerSend(Reply(seen, comm::COMM_SYNC_RESPONSE, -1, kstring("stale")));
    ASSERT_EQ(result.get(), round);
    ASSERT_EQ(reply, std::to_string(round));
  }
  EXPECT_EQ(receiver.Got(), 0u);
  EXPECT_EQ(Count("commtest", dropped), 1);
}

// An envelope sent again takes a fresh packet id: the late reply to its first send (here one
// the server sends twice) is not taken for the reply to the second.
TEST_F(ChannelTest, RequestSentAgainTakesAFreshPacketId) {
  commtest::Receiver receiver(channel);
  KEnvelope request(30, 2, 0, 0, kstring("first"));
  kstring reply;
  auto result = Ask(request, reply);
  KEnvelope first = PeerReceive();
  PeerSend(Reply(first, comm::COMM_SYNC_RESPONSE, 1, kstring("first")));
  ASSERT_EQ(result.get(), 1);
  request.SetPayload(kstring("second"));
  result = Ask(request, reply);
  KEnvelope second = PeerReceive();
  EXPECT_NE(second.GetPacketId(), first.GetPacketId());
  PeerSend(Reply(first, comm::COMM_SYNC_RESPONSE, 1, kstring("first")));
  PeerSend(Reply(second, comm::COMM_SYNC_RESPONSE, 2, kstring("second")));
  EXPECT_EQ(result.get(), 2);
  EXPECT_EQ(reply, "second");
}

// Packet ids past the sign bit and across the wrap are matched, whether the server writes i as
// the id or as the id's 16 bits sign-extended.
TEST_F(ChannelTest, RepliesMatchedPastTheSignBitAndAcrossTheWrap) {
  commtest::Receiver receiver(channel);
  for (uint16_t seed : {32764, 65532}) {
    KEnvelope::_PacketIdSeed = seed;
    for (int round = 0; round < 6; ++round) {
      KEnvelope request(30, 2, round, 0);
      kstring reply;
      auto result = Ask(request, reply);
      KEnvelope seen = PeerReceive();
      const int32_t id = round % 2 == 0 ? seen.GetPacketId()
                                        : static_cast<int16_t>(seen.GetPacketId());
      PeerSend(KEnvelope(comm::COMM_MODULE, comm::COMM_SYNC_RESPONSE, round, id,
                         kstring(std::to_string(seen.GetPacketId()))));
      ASSERT_EQ(result.get(), round) << seed;
      EXPECT_EQ(reply, std::to_string(request.GetPacketId()));
    }
  }
  EXPECT_LT(KEnvelope::_PacketIdSeed.load(), 100);  // the counter did wrap
}

TEST_F(ChannelTest, RemoteFailureAndNoConnection) {
  KEnvelope request(30, 3, -1, -1);
  {
    commtest::Receiver receiver(channel);
    auto result = Ask(request, empty);
    PeerSend(Reply(PeerReceive(), comm::COMM_SYNC_FAIL, 42, kstring("no such thing")));
    EXPECT_EQ(TextOf<comm::KCommRequestError>([&] { result.get(); }),
              "Remote error [no such thing] sent [" + request.Description() + "]");
  }
  // The receiver's end cleared the connection: 13, and nothing is sent.
  EXPECT_FALSE(channel.IsConnected());
  request.Reset();
  EXPECT_EQ(channel.SyncMessage(request, empty), 13);
  EXPECT_FALSE(request.IsSync());
  EXPECT_EQ(TextOf<comm::KCommError>([&] { channel.Send(request); }), "IPC not initialized!");
}

// A request waiting for its reply ends at once when the server goes away and when the channel
// is terminated, never after the 30 s reply limit.
TEST_F(ChannelTest, LostConnectionAndTerminateEndAWaitingRequest) {
  for (bool terminate : {false, true}) {
    if (terminate) Connect();
    commtest::Receiver receiver(channel);
    KEnvelope request(30, 6, 0, 0);
    auto result = Ask(request, empty);
    PeerReceive();  // the request is out; no reply will come
    auto start = std::chrono::steady_clock::now();
    terminate ? channel.Terminate(true) : peer.reset();
    std::string error = TextOf<comm::KCommRequestError>([&] { result.get(); });
    EXPECT_NE(error, "<no exception>");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::string head = "Packet sync fail - expected " + std::to_string(request.GetPacketId()) +
                       " received 0 (sent[" + request.Description() + "] recv[ENV(p";
    if (terminate) {
      EXPECT_EQ(error.substr(0, head.size()), head);
      EXPECT_FALSE(channel.IsConnected());
    }
  }
}

TEST_F(ChannelTest, KeepAliveProbesOnlyWhenIdle) {
  commtest::Receiver receiver(channel);
  PeerSend(KEnvelope(30, 1, 0, 0));
  ASSERT_TRUE(commtest::WaitFor([&] { return receiver.Got() == 1; }, 5000));
  EXPECT_TRUE(channel.KeepAlive(60000));  // traffic just now: nothing is sent

  std::thread answering([&] {
    KEnvelope probe = PeerReceive();
    EXPECT_EQ(Shape(probe), "m1,c10,g0,i0 sz=0)");
    EXPECT_TRUE(probe.IsSync());
    PeerSend(Reply(probe, comm::COMM_SYNC_RESPONSE, 0));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(channel.KeepAlive(10));
  answering.join();

  // A probe the peer cannot answer closes the connection.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  peer.reset();
  EXPECT_FALSE(channel.KeepAlive(10));
  EXPECT_TRUE(commtest::WaitFor([&] { return receiver.ended_.load(); }, 5000));
  EXPECT_EQ(Count("commtest", "W KeepAlive failed, closing connection ["), 1);
}

TEST_F(ChannelTest, ServerHandShake) {
  comm::KHelloMsg hello(comm::KHelloMsg::DVX_SERVER, 3, 4, 5);
  kstring id;
  std::thread server([&] { channel.HandShake(hello, id); });
  KEnvelope greeting = PeerReceive();
  EXPECT_EQ(Shape(greeting), "m1,c11,g-1,i-1 sz=16)");
  comm::KHelloMsg got;
  greeting.GetPayload(got);
  EXPECT_EQ(got.ServiceId, 0x44565850u);
  PeerSend(KEnvelope(comm::COMM_MODULE, comm::COMM_REMOTE_ID, -1, -1, kstring("app-0")));
  KEnvelope assigned = PeerReceive();
  server.join();
  kstring text;
  assigned.GetPayload(text);
  EXPECT_EQ(assigned.GetCode(), comm::COMM_REMOTE_ID);
  EXPECT_EQ(text, "app-0[0]");
  EXPECT_EQ(id, "app-0[0]");
  EXPECT_EQ(logger.Identity(), "app-0[0]");
  EXPECT_EQ(comm::KCommChannel::GetNextId(), "[1]");

  // Anything but REMOTE_ID is refused.
  std::thread second([&] {
    EXPECT_EQ(TextOf<comm::KCommError>([&] { channel.HandShake(hello, id); }).substr(0, 18),
              "Invalid remote id ");
  });
  PeerReceive();
  PeerSend(KEnvelope(comm::COMM_MODULE, comm::COMM_QUERY, -1, -1));
  second.join();
  channel.SignTermination();
}

// The companion probes only a channel that has been idle longer than its idle time, re-arms after
// an answered probe, and stays quiet once stopped.
TEST_F(ChannelTest, KeepAliveCompanionProbesOnlyAnIdleChannel) {
  commtest::Receiver receiver(channel);
  std::atomic<int> probes{0};
  std::thread peerThread([&] {
    KEnvelope envelope;
    while (peer->Receive(envelope))
      if (envelope.GetCode() == comm::COMM_KEEP_ALIVE && ++probes)
        PeerSend(Reply(envelope, comm::COMM_SYNC_RESPONSE, 0));
  });
  {
    comm::KCommChannelKeepAlive keepAlive(channel, true, 300, 50);
    for (int n = 0; n < 15; ++n) {  // traffic every 50 ms keeps the channel busy: no probe
      PeerSend(KEnvelope(30, 1, n, 0));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(probes, 0);
    // Silence: a probe within idle + period (+ the timer's 25 ms steps), then more, each answered.
    EXPECT_TRUE(commtest::WaitFor([&] { return probes >= 2; }, 3000));
    keepAlive.Stop();
    int stopped = probes;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(probes, stopped);
    EXPECT_TRUE(channel.IsConnected());
  }
  peer->Terminate();
  peerThread.join();
}
