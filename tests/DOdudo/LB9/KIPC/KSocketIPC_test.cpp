// Socket channels on real loopback connections: the frame bytes, receiving, termination from a
// third thread, concurrent senders, and what malformed frames and failing peers do.
#include "DOdudo/LB9/KIPC/KSocketIPC.h"

#include <gmock/gmock.h>

#include <sys/wait.h>

#include <atomic>
#include <future>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "IpcTestSupport.h"
#include "support/LoopbackPeer.h"

using dodudo::kstring;
using ipctest::Frame;
using ipctest::Str;
using snltest::TextOf;
using testing::MatchesRegex;

namespace {

// A channel opened to a loopback listener, and the accepted far end.
struct ChannelPair {
  ChannelPair() {
    channel = std::make_unique<dodudo::KSocketIpcChannel>("127.0.0.1", listener.Port());
    peer.Reset(listener.Accept());
  }
  snltest::LoopbackListener listener;
  std::unique_ptr<dodudo::KSocketIpcChannel> channel;
  snltest::Fd peer;
};

// IPv6 channels: the buffered channel's test.
TEST(SocketChannel, FramesOnTheWireAndBack) {
  ChannelPair c;
  dodudo::KBufferHolder holder(3);
  holder.Data()[0] = 0xFF;
  EXPECT_TRUE(c.channel->Send(dodudo::KEmptyData()) && c.channel->Send(kstring("abc")) &&
              c.channel->Send(holder));
  EXPECT_EQ(snltest::ReadBytes(c.peer.Get(), 27), std::string("\0\0\0\0"
                                                              "\x08\0\0\0\x04\0\0\0abc\0"
                                                              "\x07\0\0\0\x03\0\0\0\xFF\0\0",
                                                              27));
  snltest::WriteAll(c.peer.Get(), Frame(Str("hello")) + Frame("\x01"));
  kstring text;
  dodudo::KPlainData<bool> flag;
  ASSERT_TRUE(c.channel->Receive(text) && c.channel->Receive(flag));
  EXPECT_EQ(text, "hello");
  EXPECT_TRUE(flag.value);
  // The peer's end closed in the middle of a frame.
  snltest::WriteAll(c.peer.Get(), Frame(Str("abcdef")).substr(0, 9));
  c.peer.Reset();
  EXPECT_THAT(TextOf<dodudo::KSocketClosedException>([&] { c.channel->Receive(text); }),
              MatchesRegex("Socket finished, no more data to receive: .*"));
}

// Another thread blocked in Receive, waiting for a frame or stalled in the middle of one, ends
// when the owner terminates the channel or destroys it, before anything it uses is freed. An
// async channel without data returns at once.
TEST(SocketChannelReceive, TerminatedOrDestroyedWhileAnotherThreadReceives) {
  const std::string partial = Frame(Str("abcdef")).substr(0, 9);
  for (auto [destroy, sent] :
       {std::pair{false, std::string()}, {true, std::string()}, {true, partial}}) {
    ChannelPair c;
    snltest::WriteAll(c.peer.Get(), sent);
    dodudo::KSocketIpcChannel* channel = c.channel.get();
    std::atomic<int> outcome{0};
    std::thread receiving([channel, &outcome] {
      kstring text;
      try {
        outcome = channel->Receive(text) ? 1 : 2;
      } catch (const dodudo::KSocketException&) {
        outcome = 3;
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    destroy ? c.channel.reset() : c.channel->Terminate();
    receiving.join();
    EXPECT_EQ(outcome, sent.empty() ? 2 : 3) << destroy;
    if (destroy) continue;
    kstring text("unchanged");
    EXPECT_FALSE(c.channel->Receive(text));
    EXPECT_THAT(TextOf([&] { c.channel->Send(kstring("late")); }),
                MatchesRegex("Socket error: Socket=FFFFFFFF - .*"));
    EXPECT_EQ(snltest::ReadBytes(c.peer.Get()), "");  // the peer sees the stream end
  }
  ChannelPair c;
  c.channel->SetAsync();
  kstring text("unchanged");
  EXPECT_FALSE(c.channel->Receive(text));
  EXPECT_EQ(text, "unchanged");
}

// A forked child that destroys the channel it inherited (its copies of the objects, not the
// connection) leaves the parent's connection alone: no shutdown, no signal through the shared
// self-pipe, and no wait for the parent's receiving thread, which the child does not have.
TEST(SocketChannelReceive, AForkedChildDestroyingItsCopyLeavesTheParentsConnectionAlone) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot follow a child forked beside a running thread";
#endif
  snltest::LoopbackListener listener;
  auto* channel = new dodudo::KSocketIpcChannel("127.0.0.1", listener.Port());
  snltest::Fd peer(listener.Accept());
  std::promise<std::string> received;
  std::thread receiving([&] {
    dodudo::kstring text;
    received.set_value(channel->Receive(text) ? std::string(text.c_str()) : "<nothing>");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // inside Receive
  const pid_t child = fork();
  if (child == 0) {
    delete channel;
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (status == -1) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "the child hung destroying its copy";
  }
  EXPECT_TRUE(channel->Send(dodudo::kstring("after")));
  const std::string after = ipctest::Frame(ipctest::Str("after"));
  EXPECT_EQ(snltest::ReadBytes(peer.Get(), after.size(), 2000), after);
  const std::string reply = ipctest::Frame(ipctest::Str("reply"));
  ASSERT_EQ(::send(peer.Get(), reply.data(), reply.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(reply.size()));
  EXPECT_EQ(received.get_future().get(), "reply");
  receiving.join();
  delete channel;
}

TEST(SocketChannelSend, ConcurrentSendersNeverInterleave) {
  ChannelPair c;
  dodudo::KClientSocket reader;
  reader.Assign(c.peer.Release(), "peer");
  dodudo::KSocketReceiver receiver(&reader);
  ipctest::ExpectWholeRecordsInOrder(*c.channel, receiver, 300);
}

// Malformed frames from a peer are refused with a clear exception, and the stream stays in
// step whenever the frame's count could be honoured.
TEST(SocketChannelReceive, MalformedFramesKeepTheStreamInStep) {
  ChannelPair c;
  snltest::WriteAll(c.peer.Get(), Frame(Str("abcdef").substr(0, 7)) +       // the string wants 11
                                      Frame(Str(std::string(3000, 'z'))) +  // above 2048 bytes
                                      Frame(Str("ok") + "trailing") +       // bytes left unread
                                      Frame(Str("next")));
  kstring text;
  EXPECT_THAT(TextOf([&] { c.channel->Receive(text); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Object reads past the end of its "
                           "frame of 7 bytes \\(7 asked, 3 left\\) "
                           "\\(DOdudo/LB9/KIPC/KSocketIPC:[0-9]+\\)"));
  EXPECT_EQ(TextOf([&] { c.channel->Receive(text); }),
            "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
  ASSERT_TRUE(c.channel->Receive(text));
  EXPECT_EQ(text, "ok");
  ASSERT_TRUE(c.channel->Receive(text));
  EXPECT_EQ(text, "next");
  // A count above the limit is refused before anything is read for it; the stream is given up.
  snltest::WriteAll(c.peer.Get(), ipctest::Le32(0x7FFFFFFF) + Str("x"));
  EXPECT_THAT(TextOf([&] { c.channel->Receive(text); }),
              MatchesRegex("Socket error: Socket=[0-9A-F]{8} - Frame of 2147483647 bytes exceeds "
                           "the limit of 1048576 \\(DOdudo/LB9/KIPC/KSocketIPC:[0-9]+\\)"));
  EXPECT_THAT(TextOf([&] { c.channel->Receive(text); }),
              MatchesRegex(".* - Stream out of step after an oversized frame .*"));
}

// A frame of exactly the limit is read; one byte more is refused.
TEST(SocketChannelReceive, FrameOfExactlyTheLimitIsAccepted) {
  ChannelPair c;
  static_cast<dodudo::KSocketReceiver*>(c.channel->GetReceiver())->SetMaxFrameSize(100);
  const std::string fits(95, 'a'), over(96, 'b');  // encodings of 100 and 101 bytes
  snltest::WriteAll(c.peer.Get(), Frame(Str(fits)) + Frame(Str(over)));
  kstring text;
  ASSERT_TRUE(c.channel->Receive(text));
  EXPECT_EQ(text, fits);
  EXPECT_THAT(TextOf([&] { c.channel->Receive(text); }),
              MatchesRegex(".* - Frame of 101 bytes exceeds the limit of 100 .*"));
}

// An object read in fields of given sizes: a small head, then a body that may be larger than
// the receiver's input block.
struct Fields : dodudo::KSerializable {
  explicit Fields(std::vector<size_t> sizes) : sizes(std::move(sizes)) {}
  void Serialize(dodudo::KSerializer& serializer) override {
    read.clear();
    for (size_t size : sizes) {
      std::string field(size, '\0');
      serializer.Serialize(field.data(), static_cast<unsigned int>(size));
      read += field;
    }
  }
  std::vector<size_t> sizes;
  std::string read;
};

std::string Pattern(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
  return bytes;
}

// Input is read in blocks, so frames arrive however the peer's bytes are cut: several in one
// segment (an async receiver takes them all without waiting for the socket), one byte at a time,
// a field larger than a block after a buffered head, and unread tails longer than a block.
TEST(SocketChannelReceive, FramesInAnyPiecesStayWholeAndInStep) {
  ChannelPair c;
  kstring text;
  snltest::WriteAll(c.peer.Get(), Frame(Str("one")) + Frame(Str("two")) + Frame(Str("three")));
  for (const char* expected : {"one", "two", "three"}) {
    ASSERT_TRUE(c.channel->Receive(text));
    EXPECT_EQ(text, expected);
    c.channel->SetAsync();  // what is left is buffered already: no wait on the socket for it
  }
  EXPECT_FALSE(c.channel->Receive(text));

  ChannelPair d;
  const std::string head = Pattern(10, 'a'), body = Pattern(40000, 'b'), tail = Pattern(20000, 'c');
  const std::string stream = Frame(head + body) + Frame(Str("skipped") + tail) + Frame(Str("end"));
  std::thread dribble([&] {
    // The first frame's head and start byte by byte, the rest in uneven pieces.
    size_t at = 0;
    for (; at < 40; ++at) snltest::WriteAll(d.peer.Get(), stream.substr(at, 1));
    for (size_t piece = 1000; at < stream.size(); at += piece, piece = piece * 3 % 7919 + 1)
      snltest::WriteAll(d.peer.Get(), stream.substr(at, piece));
  });
  Fields fields({10, 40000});
  ASSERT_TRUE(d.channel->Receive(fields));
  EXPECT_TRUE(fields.read == head + body);
  ASSERT_TRUE(d.channel->Receive(text));  // the 20,000 bytes after the string are skipped
  EXPECT_EQ(text, "skipped");
  ASSERT_TRUE(d.channel->Receive(text));
  EXPECT_EQ(text, "end");
  dribble.join();
}

}  // namespace
