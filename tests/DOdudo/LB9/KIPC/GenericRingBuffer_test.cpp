// The ring: positions and wrap flags, every operation of both sides with its result, rings of
// strings, and one producer with one consumer on two threads without a lock.
#include "DOdudo/LB9/KIPC/GenericRingBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using ByteRing = GenericRingBuffer<unsigned char>;

std::vector<unsigned char> Seq(unsigned char first, size_t n) {
  std::vector<unsigned char> bytes(n);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

uint32_t WriterWord(const ByteRing& ring) { return ring.WriterPosition().Load(); }
uint32_t ReaderWord(const ByteRing& ring) { return ring.ReaderPosition().Load(); }

// Collects what a delivery hands over and consumes all of it.
struct Collector {
  uint32_t get(const ExtReaderData<unsigned char>* runs, unsigned int count) {
    uint32_t total = 0;
    for (unsigned int i = 0; i < count; ++i) {
      lengths.push_back(runs[i].length);
      bytes.insert(bytes.end(), runs[i].data, runs[i].data + runs[i].length);
      total += runs[i].length;
    }
    return total;
  }
  std::vector<uint32_t> lengths;
  std::vector<unsigned char> bytes;
};

TEST(RingBuffer, WriteSplitsOverTheEndAndFlipsTheWrapFlag) {
  ByteRing ring(16);
  auto ten = Seq(0, 10);
  std::vector<unsigned char> out(16);
  ASSERT_TRUE(ring.Provide(ten.data(), 10));
  ASSERT_EQ(ring.Consume(out.data(), 10, true), 10u);
  auto twelve = Seq(100, 12);
  ASSERT_TRUE(ring.Provide(twelve.data(), 12));
  EXPECT_EQ(WriterWord(ring), BufferPointer::kWrapBit | 6u);
  EXPECT_EQ(ReaderWord(ring), 10u);
  EXPECT_EQ(ring.Used(), 12u);
  EXPECT_EQ(ring.Free(), 4u);
  EXPECT_EQ(std::vector<unsigned char>(ring.Storage(), ring.Storage() + 6), Seq(106, 6));

  Collector collector;
  ring.SetDelivery(&collector, &Collector::get);
  EXPECT_EQ(ring.Deliver(1500), 12u);
  EXPECT_EQ(collector.lengths, (std::vector<uint32_t>{6, 6}));
  EXPECT_EQ(collector.bytes, twelve);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.Deliver(1500), 0u);
}

TEST(RingBuffer, EveryElementUsableAndExactFit) {
  ByteRing ring(16);
  auto bytes = Seq(1, 17);
  ASSERT_TRUE(ring.Provide(bytes.data(), 5));
  EXPECT_FALSE(ring.Provide(bytes.data(), 12));  // one more than is free: nothing written
  EXPECT_EQ(ring.Used(), 5u);
  ASSERT_TRUE(ring.Provide(bytes.data(), 11));  // exactly what is free
  EXPECT_EQ(BufferPointer::Index(WriterWord(ring)), BufferPointer::Index(ReaderWord(ring)));
  EXPECT_NE(BufferPointer::Wrapped(WriterWord(ring)), BufferPointer::Wrapped(ReaderWord(ring)));
  EXPECT_EQ(ring.Used(), 16u);
  EXPECT_EQ(ring.Free(), 0u);
  EXPECT_FALSE(ring.Provide(bytes.data(), 1));
  EXPECT_TRUE(ring.Provide(bytes.data(), 0));
  std::vector<unsigned char> out(16);
  EXPECT_EQ(ring.Consume(out.data(), 16, true), 16u);
  EXPECT_EQ(ReaderWord(ring), WriterWord(ring));
  EXPECT_EQ(ReaderWord(ring), BufferPointer::kWrapBit);
}

TEST(RingBuffer, ReaderOperationsAndTheirResults) {
  ByteRing ring(8);
  auto three = Seq(7, 3);
  ring.Provide(three.data(), 3);
  std::vector<unsigned char> out(8, 0);
  EXPECT_EQ(ring.Consume(out.data(), 5, true), 0u);
  EXPECT_EQ(ring.Used(), 3u);
  EXPECT_EQ(ring.ConsumeBegins(out.data(), 5, false), 3u);  // a peek
  EXPECT_EQ(ring.Used(), 3u);
  EXPECT_EQ(out[2], 9);
  EXPECT_FALSE(ring.ConsumeCommit(4));
  EXPECT_TRUE(ring.ConsumeCommit(1));
  EXPECT_EQ(ring.Consume(out.data(), 5, false), 2u);
  EXPECT_EQ(out[0], 8);
  EXPECT_EQ(ring.Consume(out.data(), 1, false), 0u);

  // Appends at an offset are invisible until committed.
  auto a = Seq(50, 2), b = Seq(60, 3);
  EXPECT_EQ(ring.ProviderAppend(b.data(), 3, 2), 5u);
  EXPECT_EQ(ring.ProviderAppend(a.data(), 2, 0), 2u);
  EXPECT_EQ(ring.ProviderAppend(a.data(), 2, 7), 0u);
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.ProviderCommit(5));
  EXPECT_EQ(ring.Consume(out.data(), 5, true), 5u);
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 5),
            (std::vector<unsigned char>{50, 51, 60, 61, 62}));
}

TEST(RingBuffer, StreamsInAndOut) {
  ByteRing ring(8);
  auto six = Seq(0, 6);
  ring.Provide(six.data(), 6);
  std::vector<unsigned char> out(6);
  ring.Consume(out.data(), 6, true);  // positions now at 6: the next 5 wrap

  std::istringstream in("abcdefghij");
  EXPECT_EQ(ring.Get(in, 9), 0u);  // more than is free
  EXPECT_EQ(ring.Get(in, 5), 5u);
  std::istringstream shortIn("xy");
  EXPECT_EQ(ring.Get(shortIn, 3), 2u);  // the stream ran out
  EXPECT_EQ(ring.Used(), 7u);

  std::ostringstream sink;
  EXPECT_EQ(ring.Put(sink, 8), 0u);
  EXPECT_EQ(ring.Put(sink, 7), 7u);
  EXPECT_EQ(sink.str(), "abcdexy");
  ring.Provide(six.data(), 2);
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_EQ(ring.Put(broken, 2), 0u);
  EXPECT_EQ(ring.Used(), 2u);
}

TEST(RingBuffer, StringsAreCopiedAsObjects) {
  GenericRingBuffer<std::string> ring(3);
  EXPECT_THROW(ring.Front(), GenericReaderTraits::BufferEmpty);
  try {
    ring.Take();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "BufferEmpty");
  }
  const std::string longText(300, 'L');
  for (int round = 0; round < 5; ++round) {
    std::string batch[2] = {longText + std::to_string(round), "short" + std::to_string(round)};
    ASSERT_TRUE(ring.Provide(batch, 2));
    EXPECT_EQ(ring.Front(), batch[0]);
    std::string out[2];
    ASSERT_EQ(ring.Consume(out, 2, true), 2u);
    EXPECT_EQ(out[0], batch[0]);
    EXPECT_EQ(out[1], batch[1]);
  }
}

// One producer and one consumer on two threads, without a lock: everything passes once, in
// order, and the checksum of what came out equals that of what went in.
TEST(RingBuffer, ProducerAndConsumerThreadsWithoutALock) {
  constexpr uint32_t kTotal = 300000;
  ByteRing bytes(97);
  GenericRingBuffer<std::string> strings(13);
  uint64_t sumIn = 0, sumOut = 0, stringsIn = 0, stringsOut = 0;
  std::thread producer([&] {
    unsigned char chunk[40];
    uint32_t sent = 0, n = 1;
    while (sent < kTotal) {
      const uint32_t size = std::min<uint32_t>(n, kTotal - sent);
      for (uint32_t i = 0; i < size; ++i) {
        chunk[i] = static_cast<unsigned char>((sent + i) * 31);
      }
      if (!bytes.Provide(chunk, size)) {
        std::this_thread::yield();
        continue;
      }
      for (uint32_t i = 0; i < size; ++i) sumIn += chunk[i];
      sent += size;
      n = n % 40 + 1;
      if (n == 1) {
        std::string text(sent % 200, static_cast<char>('a' + sent % 26));
        while (!strings.Provide(text)) std::this_thread::yield();
        stringsIn += text.size() * static_cast<unsigned char>(text.empty() ? 0 : text[0]);
      }
    }
    strings.Provide(std::string("end"));
  });
  uint32_t received = 0;
  bool inOrder = true;
  bool done = false;
  unsigned char buffer[64];
  while (received < kTotal || !done) {
    const uint32_t got = bytes.Consume(buffer, sizeof buffer, false);
    for (uint32_t i = 0; i < got; ++i) {
      inOrder = inOrder && buffer[i] == static_cast<unsigned char>((received + i) * 31);
      sumOut += buffer[i];
    }
    received += got;
    if (got == 0) std::this_thread::yield();
    std::string text;
    while (strings.Consume(&text, 1, true) == 1) {
      if (text == "end") {
        done = true;
        break;
      }
      stringsOut += text.size() * static_cast<unsigned char>(text.empty() ? 0 : text[0]);
    }
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, kTotal);
  EXPECT_EQ(sumOut, sumIn);
  EXPECT_EQ(stringsOut, stringsIn);
  EXPECT_TRUE(bytes.Empty());
}

}  // namespace
