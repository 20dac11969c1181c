// Socket channels on real loopback connections: the frame bytes, receiving, termination from a
// third thread, concurrent senders, and what malformed frames and failing peers do.
#include "DOdudo/LB9/KIPC/KSocketIPC.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/host/KString.h"
#include "support/LoopbackPeer.h"

using dodudo::KSocketException;
using dodudo::kstring;
using snltest::Fd;
using testing::MatchesRegex;

namespace {

std::string Hex(const std::string& bytes) {
  std::string text;
  char part[4];
  for (unsigned char b : bytes) {
    snprintf(part, sizeof part, text.empty() ? "%02X" : " %02X", b);
    text += part;
  }
  return text;
}

std::string Frame(const std::string& body) {
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(body.size() >> (8 * i));
  return frame + body;
}

std::string Str(const std::string& text) {
  std::string encoding(4, '\0');
  const uint32_t length = static_cast<uint32_t>(text.size() + 1);
  for (int i = 0; i < 4; ++i) encoding[i] = static_cast<char>(length >> (8 * i));
  return encoding + text + '\0';
}

template <typename E, typename F>
std::string TextOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "<no exception>";
}

// A channel opened to a loopback listener, and the accepted far end.
struct ChannelPair {
  explicit ChannelPair(const char* host = "127.0.0.1") : listener(host) {
    channel = std::make_unique<dodudo::KSocketIpcChannel>(host, listener.Port());
    peer = listener.Accept();
  }
  snltest::LoopbackListener listener;
  std::unique_ptr<dodudo::KSocketIpcChannel> channel;
  Fd peer;
};

class SocketChannel : public testing::TestWithParam<const char*> {};

TEST_P(SocketChannel, FramesOnTheWireAndBack) {
  ChannelPair c(GetParam());
  ASSERT_GE(c.peer.Get(), 0);
  EXPECT_TRUE(c.channel->Send(dodudo::KEmptyData()));
  EXPECT_TRUE(c.channel->Send(kstring("abc")));
  dodudo::KBufferHolder holder(3);
  holder.Data()[0] = 0xFF;
  EXPECT_TRUE(c.channel->Send(holder));
  EXPECT_EQ(Hex(snltest::ReadBytes(c.peer.Get(), 4 + 12 + 11)),
            "00 00 00 00 "
            "08 00 00 00 04 00 00 00 61 62 63 00 "
            "07 00 00 00 03 00 00 00 FF 00 00");

  snltest::WriteAll(c.peer.Get(), Frame(Str("hello")) + Frame(std::string("\x01", 1)));
  kstring text;
  ASSERT_TRUE(c.channel->Receive(text));
  EXPECT_EQ(text, "hello");
  dodudo::KPlainData<bool> flag;
  ASSERT_TRUE(c.channel->Receive(flag));
  EXPECT_TRUE(flag.value);
}

INSTANTIATE_TEST_SUITE_P(V4AndV6, SocketChannel, testing::Values("127.0.0.1", "::1"));

TEST(SocketChannelOpen, RefusedConnectionPropagates) {
  unsigned short port;
  {
    snltest::LoopbackListener gone;
    port = gone.Port();
  }
  EXPECT_THAT(TextOf<KSocketException>([&] { dodudo::KSocketIpcChannel("127.0.0.1", port); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Connection refused .*"));
}

TEST(SocketChannelReceive, AsyncWithoutDataAndTerminateFromAnotherThread) {
  ChannelPair c;
  c.channel->SetAsync();
  kstring text("unchanged");
  EXPECT_FALSE(c.channel->Receive(text));
  EXPECT_EQ(text, "unchanged");

  ChannelPair blocked;
  auto receiver = std::async(std::launch::async, [&] {
    kstring got;
    return blocked.channel->Receive(got);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  blocked.channel->Terminate();
  ASSERT_EQ(receiver.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_FALSE(receiver.get());
  kstring again;
  EXPECT_FALSE(blocked.channel->Receive(again));
  EXPECT_THAT(TextOf<KSocketException>([&] { blocked.channel->Send(kstring("late")); }),
              MatchesRegex("Socket error: Socket=FFFFFFFF - .*"));
  // The peer sees the stream end.
  EXPECT_EQ(snltest::ReadToEnd(blocked.peer.Get()), "");
}

// Four threads send at once: every frame arrives whole and each thread's frames in order.
TEST(SocketChannelSend, ConcurrentSendersNeverInterleave) {
  ChannelPair c;
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        c.channel->Send(dodudo::fstring("%d:%d:%s", t, i, std::string(t * 50, 'p').c_str()));
    });
  }
  dodudo::KClientSocket reader;
  reader.Assign(c.peer.Release(), "peer");
  dodudo::KSocketReceiver receiver(&reader);
  int next[kThreads] = {};
  for (int n = 0; n < kThreads * kEach; ++n) {
    kstring text;
    ASSERT_TRUE(receiver.Receive(text));
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(text.c_str(), "%d:%d:", &t, &i), 2) << text;
    ASSERT_EQ(i, next[t]++);
    ASSERT_EQ(text.size(), text.find(':', text.find(':') + 1) + 1 + t * 50u);
  }
  for (auto& s : senders) s.join();
}

// Malformed frames from a peer: refused with a clear exception, and the stream stays in step
// whenever the frame's count could be honoured.
TEST(SocketChannelReceive, MalformedFramesKeepTheStreamInStep) {
  ChannelPair c;
  const std::string tooLong = Str(std::string(3000, 'z'));
  snltest::WriteAll(c.peer.Get(),
                    Frame(Str("abcdef").substr(0, 7)) +  // count says 7: the string wants 11
                        Frame(tooLong) +                 // a string above 2048 bytes
                        Frame(Str("ok") + "trailing") +  // bytes the object leaves unread
                        Frame(Str("next")));
  kstring text;
  EXPECT_THAT(
      TextOf<KSocketException>([&] { c.channel->Receive(text); }),
      MatchesRegex(
          "Socket error: Socket=[0-9A-F]{8} - Object reads past the end of its "
          "frame of 7 bytes \\(7 asked, 3 left\\) \\(DOdudo/LB9/KIPC/KSocketIPC:[0-9]+\\)"));
  EXPECT_EQ(TextOf<std::runtime_error>([&] { c.channel->Receive(text); }),
            "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
  ASSERT_TRUE(c.channel->Receive(text));
  EXPECT_EQ(text, "ok");
  ASSERT_TRUE(c.channel->Receive(text));
  EXPECT_EQ(text, "next");

  // A count above the limit is refused before anything is read for it; the stream is given up.
  snltest::WriteAll(c.peer.Get(), std::string("\xFF\xFF\xFF\x7F", 4) + Str("x"));
  EXPECT_THAT(TextOf<KSocketException>([&] { c.channel->Receive(text); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Frame of 2147483647 bytes exceeds "
                           "the limit of 1048576 \\(DOdudo/LB9/KIPC/KSocketIPC:[0-9]+\\)"));
  EXPECT_THAT(TextOf<KSocketException>([&] { c.channel->Receive(text); }),
              MatchesRegex(".* - Stream out of step after an oversized frame .*"));
}

// A peer process killed in the middle of a frame, and a peer that resets the connection.
TEST(SocketChannelReceive, PeerKilledMidFrameOrResetting) {
  ChannelPair c;
  const pid_t child = fork();
  if (child == 0) {
    snltest::WriteAll(c.peer.Get(), Frame(Str("abcdef")).substr(0, 9));
    pause();
    _exit(0);
  }
  c.peer.Reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  kstring text;
  EXPECT_THAT(TextOf<dodudo::KSocketClosedException>([&] { c.channel->Receive(text); }),
              MatchesRegex("Socket finished, no more data to receive: .*"));

  ChannelPair reset;
  snltest::WriteAll(reset.peer.Get(), Frame(Str("abcdef")).substr(0, 6));
  linger hard{1, 0};
  setsockopt(reset.peer.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  reset.peer.Reset();
  EXPECT_THAT(TextOf<KSocketException>([&] { reset.channel->Receive(text); }),
              MatchesRegex(".*Connection reset by peer \\(errno=104\\).*"));
}

}  // namespace
