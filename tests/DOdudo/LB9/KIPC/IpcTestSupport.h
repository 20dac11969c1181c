#pragma once

// Shared by the serialisation, socket and channel tests: frames and encodings written out byte by
// byte, and a connected client socket.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/KIPC/KIpcChannel.h"
#include "DOdudo/host/KString.h"
#include "support/LoopbackPeer.h"

namespace ipctest {

using Bytes = std::vector<unsigned char>;

// The encoding of object, through the size pass and the buffer serialiser, and back.
inline Bytes Encode(const dodudo::KSerializable& object) {
  dodudo::KBufferHolder holder;
  holder.Store(object);
  return Bytes(holder.Data(), holder.Data() + holder.Size());
}
inline void Decode(const Bytes& bytes, dodudo::KSerializable& object) {
  dodudo::KBufferDeserializer reader(bytes.data(), static_cast<unsigned int>(bytes.size()));
  object.Serialize(reader);
}

inline std::string Le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// A client socket connected to a loopback listener, and the accepted far end.
struct Connection {
  explicit Connection(const char* host = "127.0.0.1") : listener(host) {
    client.Open(host, listener.Port());
    peer.Reset(listener.Accept());
  }
  snltest::LoopbackListener listener;
  dodudo::KClientSocket client;
  snltest::Fd peer;
};

// The encoding of a string, and a frame around any encoding.
inline std::string Str(const std::string& text) { return Le32(text.size() + 1) + text + '\0'; }
inline std::string Frame(const std::string& body) { return Le32(body.size()) + body; }

// Four threads send numbered strings of different lengths through sender at once; receiver, at
// the far end, must get every one whole and each thread's in order. With promptEvery, every
// such record of a thread asks to be sent promptly.
inline void ExpectWholeRecordsInOrder(dodudo::KSender& sender, dodudo::KReceiver& receiver,
                                      int each, int promptEvery = 0) {
  auto text = [](int t, int i) {
    return dodudo::fstring("%d:%d:%s", t, i, std::string(t * 45, 'p').c_str());
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < each; ++i) {
        dodudo::kstring record = text(t, i);
        record.SetSendPromptly(promptEvery != 0 && i % promptEvery == 0);
        EXPECT_TRUE(sender.Send(record));
      }
    });
  }
  int next[4] = {};
  for (int n = 0; n < 4 * each; ++n) {
    dodudo::kstring got;
    int t = -1;
    ASSERT_TRUE(receiver.Receive(got));
    ASSERT_EQ(sscanf(got.c_str(), "%d:", &t), 1);
    ASSERT_EQ(got, text(t, next[t]++));
  }
  for (auto& s : senders) s.join();
}

}  // namespace ipctest
