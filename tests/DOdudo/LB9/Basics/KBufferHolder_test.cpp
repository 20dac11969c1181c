#include <gtest/gtest.h>

#include <string>

#include "DOdudo/host/KBaseException.h"
#include "SerialTestSupport.h"

using namespace serialtest;

namespace {

Bytes HolderWire(uint32_t size, unsigned char fill) { return Cat(U32(size), Bytes(size, fill)); }

std::string MessageOf(const Bytes& wire, dodudo::KBufferHolder& holder) {
  try {
    Decode(wire, holder);
  } catch (const KBaseException& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace

TEST(KBufferHolderRead, SizeLimitAndGrowth) {
  dodudo::KBufferHolder holder(8);
  unsigned char* array = holder.Data();
  Decode(HolderWire(8, 1), holder);
  Decode(HolderWire(3, 2), holder);
  EXPECT_EQ(holder.Data(), array);  // same or smaller: reused, never shrunk
  EXPECT_EQ(holder.Size(), 3u);
  EXPECT_EQ(holder.Capacity(), 8u);
  Decode(HolderWire(8096, 0x5A), holder);
  EXPECT_EQ(holder.Capacity(), 8096u);  // grown to exactly the size
  EXPECT_EQ(holder.Data()[8095], 0x5A);
  EXPECT_EQ(MessageOf(HolderWire(8097, 0), holder), "Maximum buffer size of 8096 exceeded (8097)");
  EXPECT_EQ(holder.Size(), 8096u);
}

TEST(KBufferHolderRead, ExternalMemoryIsNeverGrown) {
  unsigned char external[4] = {0, 0, 0, 0};
  dodudo::KBufferHolder holder(external, 4);
  Decode(HolderWire(2, 7), holder);
  EXPECT_EQ(holder.Data(), external);
  EXPECT_EQ(external[1], 7);
  EXPECT_EQ(MessageOf(HolderWire(5, 0), holder), "Impossible serialize on external alloced memory");
  EXPECT_EQ(holder.Size(), 2u);
}

TEST(KBufferHolderRead, ForgedSizeLeavesTheHolderUnchanged) {
  dodudo::KBufferHolder holder(4);
  holder.Data()[0] = 0x11;
  Bytes shortRead = HolderWire(3, 0xEE);
  shortRead.resize(5);
  EXPECT_EQ(MessageOf(shortRead, holder), "Read beyond end of buffer (3 bytes requested, 1 left)");
  Bytes grow = HolderWire(100, 0xEE);
  grow.resize(50);
  EXPECT_EQ(MessageOf(grow, holder), "Read beyond end of buffer (100 bytes requested, 46 left)");
  EXPECT_EQ(holder.Size(), 4u);
  EXPECT_EQ(holder.Capacity(), 4u);
  EXPECT_EQ(holder.Data()[0], 0x11);
}

TEST(KBufferHolderAssign, CopyRules) {
  unsigned char raw[6] = {1, 2, 3, 4, 5, 6};
  dodudo::KBufferHolder source(raw, 6);
  dodudo::KBufferHolder target(10);
  unsigned char* array = target.Data();
  target = source;
  EXPECT_EQ(target.Data(), array);  // fits: copied in place
  EXPECT_EQ(target.Size(), 6u);
  EXPECT_EQ(target.Capacity(), 10u);
  EXPECT_EQ(target.Data()[5], 6);
  target = dodudo::KBufferHolder(20);
  EXPECT_EQ(target.Capacity(), 20u);

  dodudo::KBufferHolder fresh;
  fresh = source;
  EXPECT_EQ(fresh.Capacity(), 6u);
  EXPECT_TRUE(fresh.Owned());
  EXPECT_EQ(Bytes(fresh.Data(), fresh.Data() + 6), Bytes(raw, raw + 6));

  dodudo::KBufferHolder wrapped(raw, 6);
  try {
    wrapped = fresh;
    FAIL() << "no exception";
  } catch (const dodudo::KException& e) {
    EXPECT_STREQ(e.what(), "Cannot overwrite external Data");
  }
  EXPECT_TRUE(dodudo::KBufferHolder(source).Owned());
}
