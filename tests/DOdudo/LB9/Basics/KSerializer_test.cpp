#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "DOdudo/host/KBaseException.h"
#include "SerialTestSupport.h"

using namespace serialtest;
using dodudo::kstring;

namespace {

struct Primitives : dodudo::KSerializable {
  uint8_t a = 0xAB;
  int16_t b = -2;
  uint32_t c = 0x01020304;
  int64_t d = -0x0102030405060708LL;
  bool e = true;
  float f = 1.0f;
  Colour g = Colour::kBlue;
  void Serialize(dodudo::KSerializer& s) override { s & a & b & c & d & e & f & g; }
};

// Counts what reaches the primitive.
struct CountingIn : dodudo::KInSerializer {
  void Serialize(void*, unsigned int size) override { calls.push_back(size); }
  std::vector<unsigned int> calls;
};
struct CountingOut : dodudo::KOutSerializer {
  void Serialize(void*, unsigned int size) override { calls.push_back(size); }
  std::vector<unsigned int> calls;
};

Bytes LengthPrefix(uint32_t length) {
  return Bytes{static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
               static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
}

}  // namespace

TEST(KSerialEncoding, PrimitivesAreLittleEndianWithoutPadding) {
  Primitives p;
  EXPECT_EQ(Encode(p), (Bytes{0xAB, 0xFE, 0xFF, 0x04, 0x03, 0x02, 0x01, 0xF8, 0xF8, 0xF9, 0xFA,
                              0xFB, 0xFC, 0xFD, 0xFE, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x0D, 0x0C,
                              0x0B, 0x0A}));
  Primitives back;
  back.a = 0;
  back.b = back.c = 0;
  back.d = 0;
  back.e = false;
  back.f = 0;
  back.g = Colour::kRed;
  Decode(Encode(p), back);
  EXPECT_EQ(Encode(back), Encode(p));
}

TEST(KSerialEncoding, StringsBooleansAndEmptyPayloads) {
  EXPECT_EQ(Encode(kstring()), (Bytes{0x01, 0, 0, 0, 0x00}));
  EXPECT_EQ(Encode(kstring("abc")), (Bytes{0x04, 0, 0, 0, 'a', 'b', 'c', 0x00}));
  EXPECT_EQ(Encode(dodudo::KPlainData<bool>(true)), Bytes{0x01});
  EXPECT_EQ(Encode(dodudo::KPlainData<bool>(false)), Bytes{0x00});
  EXPECT_EQ(Encode(dodudo::KEmptyData()), Bytes{});
  dodudo::KPlainData<bool> flag;
  Decode(Bytes{0x02}, flag);  // any non-zero byte is true, never an invalid bool
  EXPECT_TRUE(flag.value);
  unsigned char raw[] = {1, 2, 3};
  EXPECT_EQ(Encode(dodudo::KBufferHolder(raw, 3)), (Bytes{3, 0, 0, 0, 1, 2, 3}));
  EXPECT_EQ(Encode(dodudo::KBufferHolder()), (Bytes{0, 0, 0, 0}));
}

TEST(KSerialEncoding, DirectionSpecificCallsAndZeroLengths) {
  CountingIn in;
  CountingOut out;
  char byte = 0;
  in.Write(&byte, 1);
  out.Read(&byte, 1);
  in.Read(&byte, 0);
  out.Write(&byte, 0);
  EXPECT_TRUE(in.calls.empty());
  EXPECT_TRUE(out.calls.empty());
  in.Read(&byte, 1);
  out.Write(&byte, 1);
  EXPECT_EQ(in.calls, std::vector<unsigned int>{1});
  EXPECT_EQ(out.calls, std::vector<unsigned int>{1});
  EXPECT_TRUE(in.In());
  EXPECT_FALSE(out.In());
}

TEST(KSerialStringLimits, LengthPrefixBounds) {
  Bytes accepted = LengthPrefix(2048);
  accepted.insert(accepted.end(), 2047, 'q');
  accepted.push_back(0);
  kstring text("old");
  Decode(accepted, text);
  EXPECT_EQ(text, std::string(2047, 'q'));

  Bytes refused = LengthPrefix(2049);
  refused.insert(refused.end(), 2049, 'q');
  text = "old";
  try {
    Decode(refused, text);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
  }
  EXPECT_EQ(text, "old");
  EXPECT_THROW(Decode(LengthPrefix(0), text), std::length_error);
  EXPECT_EQ(text, "old");
}

TEST(KSerialForgedLengths, ReadsNeverLeaveTheBlock) {
  // A string that claims 100 bytes with 4 left.
  Bytes forged = LengthPrefix(100);
  forged.insert(forged.end(), {'a', 'b', 'c', 0});
  kstring text("keep");
  try {
    Decode(forged, text);
    FAIL() << "no exception";
  } catch (const dodudo::KException& e) {
    EXPECT_STREQ(e.what(), "Read beyond end of buffer (100 bytes requested, 4 left)");
    EXPECT_EQ(e.GetFile(), "DOdudo/LB9/Basics/KBuffer");
  }
  EXPECT_EQ(text, "keep");

  // A truncated length prefix.
  EXPECT_THROW(Decode(Bytes{4, 0}, text), dodudo::KException);

  // A composite whose item count is forged: every item must still be present.
  Composite c;
  c.items = {"x", "y"};
  Bytes bytes = Encode(c);
  size_t countAt = bytes.size() - 2 * 6 - 4;
  bytes[countAt] = 0xFF;
  bytes[countAt + 3] = 0x7F;
  Composite back;
  EXPECT_THROW(Decode(bytes, back), dodudo::KException);
  // And every truncation of a valid encoding fails cleanly.
  Bytes valid = Encode(c);
  for (size_t cut = 0; cut < valid.size(); ++cut) {
    Composite partial;
    EXPECT_THROW(Decode(Bytes(valid.begin(), valid.begin() + cut), partial), dodudo::KException)
        << cut;
  }
}

TEST(KSerialForgedLengths, UninitializedBlockAndWriterBound) {
  kstring text;
  dodudo::KBufferDeserializer none(nullptr, 10);
  try {
    text.Serialize(none);
    FAIL() << "no exception";
  } catch (const dodudo::KException& e) {
    EXPECT_STREQ(e.what(), "Buffer not initialized, invalid serialization");
  }
  dodudo::KBufferHolder empty;
  EXPECT_THROW(empty.Load(text), dodudo::KException);

  dodudo::KBufferHolder small(4);
  dodudo::KBufferSerializer writer(&small);
  kstring abc("abc");
  try {
    abc.Serialize(writer);
    FAIL() << "no exception";
  } catch (const dodudo::KException& e) {
    EXPECT_STREQ(e.what(), "Write beyond end of buffer (4 bytes requested, 0 left)");
  }
  EXPECT_EQ(writer.Written(), 4u);
  EXPECT_EQ(Bytes(small.Data(), small.Data() + 4), (Bytes{4, 0, 0, 0}));
}

TEST(KSerialRoundTrip, CompositeThroughSizePassAndBuffers) {
  Composite c;
  c.u8 = 200;
  c.i16 = -300;
  c.u32 = 4000000000u;
  c.i64 = -5;
  c.flag = true;
  c.real = -2.5;
  c.colour = Colour::kBlue;
  c.name = "name";
  unsigned char raw[] = {9, 8, 7};
  c.blob = dodudo::KBufferHolder(raw, 3);
  c.wanted.value = true;
  c.items = {"", "one", std::string(2047, 'z')};

  unsigned int size = dodudo::KSerialSizeCalculator::Measure(c);
  dodudo::KBufferHolder holder;
  holder.Store(c);
  EXPECT_EQ(holder.Size(), size);
  EXPECT_EQ(holder.Capacity(), size);
  EXPECT_EQ(size, 1u + 2 + 4 + 8 + 1 + 8 + 4 + 9 + 7 + 1 + 4 + 5 + 8 + 2052);

  Composite back;
  back.items = {"stale"};
  holder.Load(back);
  EXPECT_EQ(Encode(back), Encode(c));
  EXPECT_EQ(back.items.size(), 3u);
  EXPECT_EQ(back.name, "name");
  EXPECT_EQ(back.colour, Colour::kBlue);
  EXPECT_DOUBLE_EQ(back.real, -2.5);
}
