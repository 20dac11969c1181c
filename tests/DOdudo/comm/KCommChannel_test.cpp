// The comm channel over real loopback connections: keep-alive answers, reply matching, remote
// failures, termination and the server side of the handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "CommTestSupport.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/comm/KCommChannelKeepAlive.h"
#include "support/TestIsolation.h"

using comm::KEnvelope;
using commtest::Count;
using commtest::Lines;
using dodudo::kstring;

namespace {

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    auto pair = link.Pair();
    channel.SetConnection(pair.first);
    peer.reset(pair.second);
  }

  // The next envelope the raw peer receives.
  KEnvelope PeerReceive() {
    KEnvelope envelope;
    EXPECT_TRUE(peer->Receive(envelope));
    return envelope;
  }
  void PeerSend(KEnvelope envelope) { ASSERT_TRUE(peer->Send(envelope)); }

  // A reply to request as a server would send it (synchronous flag off).
  static KEnvelope Reply(const KEnvelope& request, uint16_t code, int32_t g,
                         const dodudo::KSerializable& payload) {
    return KEnvelope(comm::COMM_MODULE, code, g, request.GetPacketId(), payload);
  }

  KLogger logger{klogZ7MClient, -1, "TEST", "commtest", 0, false};
  commtest::Link link;
  comm::KCommChannel channel{logger};
  std::unique_ptr<dodudo::KIpcChannel> peer;
};

}  // namespace

TEST_F(ChannelTest, KeepAliveIsAnsweredAndNeverHandedOver) {
  KEnvelope probe(comm::COMM_MODULE, comm::COMM_KEEP_ALIVE, 0, 0);
  probe.SetSync(true);
  PeerSend(probe);
  PeerSend(KEnvelope(30, 7, 1, 2, kstring("event")));

  KEnvelope got;
  ASSERT_TRUE(channel.Receive(got));
  EXPECT_EQ(got.GetModule(), 30);
  EXPECT_EQ(got.GetCode(), 7);

  KEnvelope answer = PeerReceive();
  EXPECT_EQ(answer.GetModule(), comm::COMM_MODULE);
  EXPECT_EQ(answer.GetCode(), comm::COMM_SYNC_RESPONSE);
  EXPECT_EQ(answer.GetG(), 0);
  EXPECT_EQ(answer.GetI(), probe.GetPacketId());
  EXPECT_EQ(answer.Payload().Size(), 0u);
  EXPECT_FALSE(answer.IsSync());
  channel.SignTermination();
}

TEST_F(ChannelTest, RepliesAreMatchedAndForeignOnesDropped) {
  commtest::Receiver receiver(channel);
  kstring reply;
  KEnvelope request(30, 1, 5, 6, kstring("question"));
  auto result = std::async(std::launch::async, [&] { return channel.SyncMessage(request, reply); });

  KEnvelope seen = PeerReceive();
  EXPECT_TRUE(seen.IsSync());
  EXPECT_EQ(seen.GetPacketId(), request.GetPacketId());
  // A reply to another packet first: dropped, the request keeps waiting.
  KEnvelope foreign(comm::COMM_MODULE, comm::COMM_SYNC_RESPONSE, 9, request.GetPacketId() + 100,
                    kstring("wrong"));
  PeerSend(foreign);
  PeerSend(Reply(seen, comm::COMM_SYNC_RESPONSE, 77, kstring("answer")));
  EXPECT_EQ(result.get(), 77);
  EXPECT_EQ(reply, "answer");
  EXPECT_TRUE(receiver.Got().empty());

  auto lines = Lines("commtest");
  EXPECT_EQ(Count(lines, "N Response dropped! Expected " + std::to_string(request.GetPacketId()) +
                             " received " + std::to_string(request.GetPacketId() + 100) +
                             " packet=[" + foreign.Description() + "]"),
            1);
}

// The receiving thread must never overwrite a reply the requester has not read yet: a stale
// reply right behind the good one used to win that race now and then.
TEST_F(ChannelTest, StaleReplyBehindTheGoodOneNeverReplacesIt) {
  commtest::Receiver receiver(channel);
  for (int round = 0; round < 200; ++round) {
    dodudo::KPlainData<int32_t> reply;
    KEnvelope request(30, 2, round, 0);
    auto result =
        std::async(std::launch::async, [&] { return channel.SyncMessage(request, reply); });
    KEnvelope seen = PeerReceive();
    PeerSend(Reply(seen, comm::COMM_SYNC_RESPONSE, round, dodudo::KPlainData<int32_t>(round)));
    PeerSend(Reply(seen, comm::COMM_SYNC_RESPONSE, -1, dodudo::KPlainData<int32_t>(-1)));
    ASSERT_EQ(result.get(), round);
    ASSERT_EQ(reply.value, round);
  }
}

TEST_F(ChannelTest, RemoteFailureAndNoConnection) {
  {
    commtest::Receiver receiver(channel);
    KEnvelope request(30, 3, -1, -1);
    dodudo::KEmptyData empty;
    auto result =
        std::async(std::launch::async, [&] { return channel.SyncMessage(request, empty); });
    PeerSend(Reply(PeerReceive(), comm::COMM_SYNC_FAIL, 42, kstring("no such thing")));
    try {
      result.get();
      ADD_FAILURE() << "no exception";
    } catch (const comm::KCommRequestError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Remote error [no such thing] sent [" + request.Description() + "]");
    }
  }
  // The receiver's end cleared the connection: 13, and nothing is sent.
  EXPECT_FALSE(channel.IsConnected());
  KEnvelope request(30, 3, -1, -1);
  dodudo::KEmptyData empty;
  EXPECT_EQ(channel.SyncMessage(request, empty), 13);
  EXPECT_FALSE(request.IsSync());
  try {
    channel.Send(request);
    ADD_FAILURE() << "no exception";
  } catch (const comm::KCommError& e) {
    EXPECT_STREQ(e.what(), "IPC not initialized!");
  }
}

TEST_F(ChannelTest, SyncResponseAnswersOnce) {
  KEnvelope request(30, 4, 0, 0);
  request.SetSync(true);
  PeerSend(request);
  KEnvelope got;
  ASSERT_TRUE(channel.Receive(got));
  dodudo::KPlainData<bool> yes(true);
  channel.SyncResponse(got, 3, yes);
  channel.SyncResponse(got, 4, yes);
  channel.SyncFailResponse(got, "late", 5);
  KEnvelope async(30, 5, 0, 0);
  channel.SyncResponse(async, 0, yes);
  PeerSend(KEnvelope(30, 9, 0, 0));  // marks the end of what the channel sent

  KEnvelope answer = PeerReceive();
  EXPECT_EQ(answer.GetCode(), comm::COMM_SYNC_RESPONSE);
  EXPECT_EQ(answer.GetG(), 3);
  EXPECT_EQ(answer.GetI(), request.GetPacketId());
  ASSERT_TRUE(channel.Receive(got));
  channel.Send(KEnvelope(30, 10, 0, 0));
  EXPECT_EQ(PeerReceive().GetCode(), 10);  // nothing else came between

  auto lines = Lines("commtest");
  EXPECT_EQ(Count(lines, "W Envelope already answered [" + request.Description() + "]"), 1);
  EXPECT_EQ(Count(lines, "W Fail on envelope already answered [" + request.Description() + "]"), 1);
  EXPECT_EQ(Count(lines, "W Trying to send a sync response to an async envelope [" +
                             async.Description() + "]"),
            1);
  channel.SignTermination();
}

TEST_F(ChannelTest, TerminateWakesAWaitingRequestAtOnce) {
  std::atomic<bool> terminated{false};
  std::thread receiving([&] {
    KEnvelope envelope;
    while (channel.Receive(envelope)) {
    }
    channel.SignTermination();
  });
  KEnvelope request(30, 6, 0, 0);
  dodudo::KEmptyData empty;
  auto result = std::async(std::launch::async, [&] { return channel.SyncMessage(request, empty); });
  PeerReceive();  // the request is out; no reply will come
  auto start = std::chrono::steady_clock::now();
  channel.Terminate(true);
  terminated = true;
  try {
    result.get();
    ADD_FAILURE() << "no exception";
  } catch (const comm::KCommRequestError& e) {
    std::string text = e.what();
    std::string head = "Packet sync fail - expected " + std::to_string(request.GetPacketId()) +
                       " received 0 (sent[" + request.Description() + "] recv[ENV(p";
    EXPECT_EQ(text.substr(0, head.size()), head);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(channel.IsConnected());
  receiving.join();
}

TEST_F(ChannelTest, LostConnectionEndsAWaitingRequest) {
  commtest::Receiver receiver(channel);
  KEnvelope request(30, 6, 0, 0);
  dodudo::KEmptyData empty;
  auto result = std::async(std::launch::async, [&] { return channel.SyncMessage(request, empty); });
  PeerReceive();
  auto start = std::chrono::steady_clock::now();
  peer.reset();  // the server goes away without replying
  EXPECT_THROW(result.get(), comm::KCommRequestError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ChannelTest, KeepAliveProbesOnlyWhenIdle) {
  commtest::Receiver receiver(channel);
  PeerSend(KEnvelope(30, 1, 0, 0));
  ASSERT_TRUE(commtest::WaitFor([&] { return receiver.Got().size() == 1; }, 5000));
  EXPECT_TRUE(channel.KeepAlive(60000));  // traffic just now: nothing is sent

  std::thread answering([&] {
    KEnvelope probe = PeerReceive();
    EXPECT_EQ(probe.GetCode(), comm::COMM_KEEP_ALIVE);
    EXPECT_TRUE(probe.IsSync());
    EXPECT_EQ(probe.GetG(), 0);
    EXPECT_EQ(probe.GetI(), 0);
    PeerSend(Reply(probe, comm::COMM_SYNC_RESPONSE, 0, dodudo::KEmptyData()));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(channel.KeepAlive(10));
  answering.join();

  // A probe the peer cannot answer closes the connection.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  peer.reset();
  EXPECT_FALSE(channel.KeepAlive(10));
  EXPECT_TRUE(commtest::WaitFor([&] { return receiver.Ended(); }, 5000));
  EXPECT_EQ(Count(Lines("commtest"), "W KeepAlive failed, closing connection ["), 1);
}

TEST_F(ChannelTest, ServerHandShake) {
  comm::KHelloMsg hello(comm::KHelloMsg::DVX_SERVER, 3, 4, 5);
  kstring id;
  std::thread server([&] { channel.HandShake(hello, id); });
  KEnvelope greeting = PeerReceive();
  EXPECT_EQ(greeting.GetCode(), comm::COMM_HELLOV2);
  EXPECT_EQ(greeting.GetG(), -1);
  comm::KHelloMsg got;
  greeting.GetPayload(got);
  EXPECT_EQ(got.ServiceId, 0x44565850u);
  EXPECT_EQ(got.Build, 5u);
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
    try {
      channel.HandShake(hello, id);
      ADD_FAILURE() << "no exception";
    } catch (const comm::KCommError& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, 18), "Invalid remote id ");
    }
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
    while (peer->Receive(envelope)) {
      if (envelope.GetCode() != comm::COMM_KEEP_ALIVE) continue;
      ++probes;
      PeerSend(Reply(envelope, comm::COMM_SYNC_RESPONSE, 0, dodudo::KEmptyData()));
    }
  });
  {
    comm::KCommChannelKeepAlive keepAlive(channel, true, 300, 50);
    // Traffic every 50 ms keeps the channel busy: no probe.
    for (int n = 0; n < 15; ++n) {
      PeerSend(KEnvelope(30, 1, n, 0));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(probes, 0);
    // Silence: a probe within idle + period (+ the timer's 25 ms steps), then more, each answered.
    EXPECT_TRUE(commtest::WaitFor([&] { return probes >= 2; }, 3000));
    EXPECT_TRUE(keepAlive.IsRunning());
    keepAlive.Stop();
    int stopped = probes;
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(probes, stopped);
    EXPECT_TRUE(channel.IsConnected());
  }
  peer->Terminate();
  peerThread.join();
}
