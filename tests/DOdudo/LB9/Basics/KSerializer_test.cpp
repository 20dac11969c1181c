#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "DOdudo/host/KBaseException.h"
#include "SerialTestSupport.h"

using namespace serialtest;
using dodudo::kstring;

namespace {

enum class Colour : int32_t { kRed = 1, kBlue = 0x0A0B0C0D };

struct Primitives : dodudo::KSerializable {
  uint8_t a = 0xAB;
  int16_t b = -2;
  uint32_t c = 0x01020304;
  int64_t d = -0x0102030405060708LL;
  bool e = true;
  float f = 1.0f;
  Colour g = Colour::kBlue;
  void Serialize(dodudo::KSerializer& s) override { s& a& b& c& d& e& f& g; }
};

// Records the sizes that reach the primitive.
template <typename Base>
struct Counting : Base {
  void Serialize(void*, unsigned int size) override { calls.push_back(size); }
  std::vector<unsigned int> calls;
};

template <typename F>
std::string MessageOf(F&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace

TEST(KSerialEncoding, PrimitivesAreLittleEndianWithoutPadding) {
  Bytes expected{0xAB, 0xFE, 0xFF, 0x04, 0x03, 0x02, 0x01, 0xF8, 0xF8, 0xF9, 0xFA, 0xFB,
                 0xFC, 0xFD, 0xFE, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x0D, 0x0C, 0x0B, 0x0A};
  EXPECT_EQ(Encode(Primitives()), expected);
  Primitives back;
  back.a = back.b = back.c = back.d = back.f = 0;
  back.e = false;
  back.g = Colour::kRed;
  Decode(expected, back);
  EXPECT_EQ(Encode(back), expected);
}

TEST(KSerialEncoding, StringsBooleansHoldersAndEmptyPayloads) {
  EXPECT_EQ(Encode(kstring()), (Bytes{0x01, 0, 0, 0, 0x00}));
  EXPECT_EQ(Encode(kstring("abc")), (Bytes{0x04, 0, 0, 0, 'a', 'b', 'c', 0x00}));
  EXPECT_EQ(Encode(dodudo::KPlainData<bool>(true)), Bytes{0x01});
  EXPECT_EQ(Encode(dodudo::KEmptyData()), Bytes{});
  unsigned char raw[] = {1, 2, 3};
  EXPECT_EQ(Encode(dodudo::KBufferHolder(raw, 3)), (Bytes{3, 0, 0, 0, 1, 2, 3}));
  EXPECT_EQ(Encode(dodudo::KBufferHolder()), (Bytes{0, 0, 0, 0}));
  dodudo::KPlainData<bool> flag;
  Decode(Bytes{0x02}, flag);  // any non-zero byte is true, never an invalid bool
  EXPECT_TRUE(flag.value);
}

TEST(KSerialEncoding, DirectionSpecificCallsAndZeroLengths) {
  Counting<dodudo::KInSerializer> in;
  Counting<dodudo::KOutSerializer> out;
  char byte = 0;
  in.Write(&byte, 1);
  out.Read(&byte, 1);
  in.Read(&byte, 0);
  out.Write(&byte, 0);
  in.Read(&byte, 1);
  out.Write(&byte, 2);
  EXPECT_EQ(in.calls, std::vector<unsigned int>{1});
  EXPECT_EQ(out.calls, std::vector<unsigned int>{2});
}

TEST(KSerialLimits, StringLengthPrefixBounds) {
  kstring text("old");
  Decode(Cat(Cat(U32(2048), Bytes(2047, 'q')), {0}), text);
  EXPECT_EQ(text, std::string(2047, 'q'));
  text = "old";
  EXPECT_EQ(MessageOf([&] { Decode(Cat(U32(2049), Bytes(2049, 'q')), text); }),
            "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
  EXPECT_THROW(Decode(U32(0), text), std::length_error);
  EXPECT_EQ(text, "old");
}

TEST(KSerialLimits, ForgedLengthsNeverLeaveTheBlock) {
  kstring text("keep");
  EXPECT_EQ(MessageOf([&] {
              Decode(Cat(U32(100), {'a', 'b', 'c', 0}), text);
            }),
            "Read beyond end of buffer (100 bytes requested, 4 left)");
  EXPECT_EQ(text, "keep");
  try {
    Decode(Bytes{4, 0}, text);
    FAIL() << "no exception";
  } catch (const dodudo::KException& e) {
    EXPECT_EQ(e.GetFile(), "DOdudo/LB9/Basics/KBuffer");
  }

  Composite c;
  c.items = {"x", "y"};
  Bytes valid = Encode(c);
  Bytes forged = valid;
  forged[forged.size() - 2 * 6 - 1] = 0x7F;  // item count 0x7F000002
  Composite back;
  EXPECT_THROW(Decode(forged, back), dodudo::KException);
  for (size_t cut = 0; cut < valid.size(); ++cut)
    EXPECT_THROW(Decode(Bytes(valid.begin(), valid.begin() + cut), back), dodudo::KException)
        << cut;
}

TEST(KSerialLimits, UninitializedBlockAndWriterBound) {
  kstring text;
  dodudo::KBufferDeserializer none(nullptr, 10);
  EXPECT_EQ(MessageOf([&] { text.Serialize(none); }),
            "Buffer not initialized, invalid serialization");
  EXPECT_THROW(dodudo::KBufferHolder().Load(text), dodudo::KException);

  dodudo::KBufferHolder small(4);
  dodudo::KBufferSerializer writer(&small);
  kstring abc("abc");
  EXPECT_EQ(MessageOf([&] { abc.Serialize(writer); }),
            "Write beyond end of buffer (4 bytes requested, 0 left)");
  EXPECT_EQ(Bytes(small.Data(), small.Data() + 4), U32(4));
}

TEST(KSerialRoundTrip, CompositeThroughSizePassAndBuffers) {
  Composite c;
  c.id = -7;
  c.name = "name";
  unsigned char raw[] = {9, 8, 7};
  c.blob = dodudo::KBufferHolder(raw, 3);
  c.wanted.value = true;
  c.items = {"", "one", std::string(2047, 'z')};

  dodudo::KBufferHolder holder;
  holder.Store(c);
  EXPECT_EQ(holder.Size(), dodudo::KSerialSizeCalculator::Measure(c));
  EXPECT_EQ(holder.Size(), 4u + 9 + 7 + 1 + 4 + 5 + 8 + 2052);
  EXPECT_EQ(holder.Capacity(), holder.Size());

  Composite back;
  back.items = {"stale"};
  holder.Load(back);
  EXPECT_EQ(Encode(back), Encode(c));
  EXPECT_EQ(back.items.size(), 3u);
}
