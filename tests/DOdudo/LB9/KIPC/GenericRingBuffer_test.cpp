// The ring: positions and wrap flags, the operations of both sides with their results, rings of
// strings, and one producer with one consumer on two threads without a lock.
#include "DOdudo/LB9/KIPC/GenericRingBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using ByteRing = GenericRingBuffer<unsigned char>;
using Bytes = std::vector<unsigned char>;

Bytes Seq(unsigned char first, size_t n) {
  Bytes bytes(n);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

// Records the runs a delivery hands over and consumes all of them.
struct Collector {
  uint32_t get(const ExtReaderData<unsigned char>* runs, unsigned int count) {
    for (unsigned int i = 0; i < count; ++i) {
      lengths.push_back(runs[i].length);
      bytes.insert(bytes.end(), runs[i].data, runs[i].data + runs[i].length);
    }
    return count == 0 ? 0 : runs[0].length + (count == 2 ? runs[1].length : 0);
  }
  std::vector<uint32_t> lengths;
  Bytes bytes;
};

TEST(RingBuffer, WritesSplitOverTheEndAndEveryElementIsUsable) {
  ByteRing ring(16);
  Bytes out(16), ten = Seq(0, 10), twelve = Seq(100, 12);
  ASSERT_TRUE(ring.Provide(ten.data(), 10));
  ASSERT_EQ(ring.Consume(out.data(), 10, true), 10u);
  ASSERT_TRUE(ring.Provide(twelve.data(), 12));  // 6 + 6 over the end
  EXPECT_EQ(ring.WriterPosition().Load(), BufferPointer::kWrapBit | 6u);
  EXPECT_EQ(ring.Used(), 12u);
  EXPECT_EQ(Bytes(ring.Storage(), ring.Storage() + 6), Seq(106, 6));
  EXPECT_FALSE(ring.Provide(twelve.data(), 5));  // one more than is free: nothing written
  ASSERT_TRUE(ring.Provide(twelve.data(), 4));   // exactly what is free
  EXPECT_EQ(ring.WriterPosition().Load() ^ ring.ReaderPosition().Load(), BufferPointer::kWrapBit);
  EXPECT_EQ(ring.Used() * 100 + ring.Free(), 1600u);

  Collector collector;
  ring.SetDelivery(&collector, &Collector::get);
  EXPECT_EQ(ring.Deliver(1500), 16u);
  EXPECT_EQ(collector.lengths, (std::vector<uint32_t>{6, 10}));
  EXPECT_EQ(Bytes(collector.bytes.begin(), collector.bytes.begin() + 12), twelve);
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.ReaderPosition().Load(), BufferPointer::kWrapBit | 10u);
}

TEST(RingBuffer, ReaderAndWriterOperationsWithTheirResults) {
  ByteRing ring(8);
  Bytes out(8, 0), three = Seq(7, 3), a = Seq(50, 2), b = Seq(60, 3);
  ring.Provide(three.data(), 3);
  EXPECT_EQ(ring.Consume(out.data(), 5, true), 0u);
  EXPECT_EQ(ring.ConsumeBegins(out.data(), 5, false), 3u);  // a peek
  EXPECT_EQ(ring.Used(), 3u);
  EXPECT_FALSE(ring.ConsumeCommit(4));
  EXPECT_TRUE(ring.ConsumeCommit(1));
  EXPECT_EQ(ring.Consume(out.data(), 5, false), 2u);
  EXPECT_EQ(out[0], 8);
  // Appends at an offset stay invisible until committed.
  EXPECT_EQ(ring.ProviderAppend(b.data(), 3, 2), 5u);
  EXPECT_EQ(ring.ProviderAppend(a.data(), 2, 0), 2u);
  EXPECT_EQ(ring.ProviderAppend(a.data(), 2, 7), 0u);
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.ProviderCommit(5));
  EXPECT_EQ(ring.Consume(out.data(), 5, true), 5u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{50, 51, 60, 61, 62}));
  // Streams, split over the end: from index 6 of 8.
  ring.Provide(out.data(), 6);
  ring.Consume(out.data(), 6, true);
  std::istringstream in("abcdefghij");
  std::ostringstream sink;
  EXPECT_EQ(ring.Get(in, 9), 0u);
  EXPECT_EQ(ring.Get(in, 5), 5u);
  EXPECT_EQ(ring.Put(sink, 6), 0u);
  EXPECT_EQ(ring.Put(sink, 5), 5u);
  EXPECT_EQ(sink.str(), "abcde");
}

TEST(RingBuffer, StringsAreCopiedAsObjects) {
  GenericRingBuffer<std::string> ring(3);
  EXPECT_THROW(ring.Front(), GenericReaderTraits::BufferEmpty);
  EXPECT_STREQ(GenericReaderTraits::BufferEmpty().what(), "BufferEmpty");
  for (int round = 0; round < 5; ++round) {
    std::string in[2] = {std::string(300, 'L') + std::to_string(round), "short"}, out[2];
    ASSERT_TRUE(ring.Provide(in, 2));
    EXPECT_EQ(ring.Front(), in[0]);
    ASSERT_EQ(ring.Consume(out, 2, true), 2u);
    EXPECT_TRUE(out[0] == in[0] && out[1] == in[1]);
  }
}

// One producer and one consumer on two threads, without a lock: everything passes once, in
// order. (Elements of any type share the same positions; copies of objects: the test above.)
TEST(RingBuffer, ProducerAndConsumerThreadsWithoutALock) {
  constexpr uint32_t kTotal = 300000;
  ByteRing bytes(97);
  std::thread producer([&] {
    unsigned char chunk[40];
    for (uint32_t sent = 0, n = 1; sent < kTotal;) {
      const uint32_t size = std::min(n, kTotal - sent);
      for (uint32_t i = 0; i < size; ++i) chunk[i] = static_cast<unsigned char>((sent + i) * 31);
      if (!bytes.Provide(chunk, size)) {
        std::this_thread::yield();
        continue;
      }
      sent += size;
      n = n % 40 + 1;
    }
  });
  uint32_t received = 0;
  bool inOrder = true;
  unsigned char buffer[64];
  while (received < kTotal) {
    const uint32_t got = bytes.Consume(buffer, sizeof buffer, false);
    for (uint32_t i = 0; i < got; ++i, ++received)
      inOrder = inOrder && buffer[i] == static_cast<unsigned char>(received * 31);
    if (got == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(received, kTotal);
}

}  // namespace

// The moment a position reaches the end of the storage it is index 0 with its wrap flag flipped,
// never capacity: Used() and Free() are right at once, whether the ring is then full or not.
TEST(RingBuffer, PositionReachingTheEndWrapsAtOnce) {
  ByteRing ring(8);
  Bytes out(8), bytes = Seq(0, 8);
  ASSERT_TRUE(ring.Provide(bytes.data(), 8));
  EXPECT_EQ(ring.WriterPosition().Load(), BufferPointer::kWrapBit);
  EXPECT_EQ(ring.Used(), 8u);
  EXPECT_EQ(ring.Free(), 0u);
  ASSERT_EQ(ring.Consume(out.data(), 8, true), 8u);
  EXPECT_EQ(ring.ReaderPosition().Load(), BufferPointer::kWrapBit);
  EXPECT_EQ(ring.Used(), 0u);
  EXPECT_EQ(ring.Free(), 8u);

  ASSERT_TRUE(ring.Provide(bytes.data(), 5));
  ASSERT_EQ(ring.Consume(out.data(), 5, true), 5u);
  ASSERT_TRUE(ring.Provide(bytes.data(), 3));  // the writer ends exactly at the end again
  EXPECT_EQ(ring.WriterPosition().Load(), 0u);
  EXPECT_EQ(ring.Used(), 3u);
  EXPECT_EQ(ring.Free(), 5u);
  ASSERT_EQ(ring.Consume(out.data(), 3, true), 3u);
  EXPECT_EQ(ring.ReaderPosition().Load(), 0u);
  EXPECT_TRUE(ring.Empty());
}
