// Serialisation: the byte encoding, its limits, forged lengths, holders and round trips.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "DOdudo/LB9/Basics/KBuffer.h"
#include "DOdudo/LB9/Basics/KPlainData.h"
#include "DOdudo/LB9/KIPC/IpcTestSupport.h"
#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KString.h"
#include "support/LoopbackPeer.h"

using dodudo::kstring;
using ipctest::Bytes;
using ipctest::Decode;
using ipctest::Encode;
using snltest::TextOf;

namespace {

// A little-endian length followed by present bytes of fill.
Bytes Wire(uint32_t length, size_t present, unsigned char fill) {
  Bytes wire(4 + present, fill);
  for (int i = 0; i < 4; ++i) wire[i] = static_cast<unsigned char>(length >> (8 * i));
  return wire;
}

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

// Nested objects and a counted list of strings.
struct Composite : dodudo::KSerializable {
  int32_t id = 0;
  kstring name;
  dodudo::KBufferHolder blob;
  dodudo::KPlainData<bool> wanted;
  std::vector<kstring> items;
  void Serialize(dodudo::KSerializer& s) override {
    s& id& name& blob& wanted;
    uint32_t count = static_cast<uint32_t>(items.size());
    s& count;
    if (s.In()) items.clear();
    for (uint32_t i = 0; i < count; ++i) {
      // Reading grows the list with what actually arrives: a forged count reserves nothing.
      if (s.In()) items.emplace_back();
      s& items[i];
    }
  }
};

}  // namespace

TEST(KSerialEncoding, AnchorsByteForByte) {
  unsigned char raw[] = {1, 2, 3};
  const Bytes primitives{0xAB, 0xFE, 0xFF, 0x04, 0x03, 0x02, 0x01, 0xF8, 0xF8, 0xF9, 0xFA, 0xFB,
                         0xFC, 0xFD, 0xFE, 0x01, 0x00, 0x00, 0x80, 0x3F, 0x0D, 0x0C, 0x0B, 0x0A};
  const std::pair<Bytes, Bytes> cases[] = {
      {Encode(Primitives()), primitives},
      {Encode(kstring()), {1, 0, 0, 0, 0}},
      {Encode(kstring("abc")), {4, 0, 0, 0, 'a', 'b', 'c', 0}},
      {Encode(dodudo::KPlainData<bool>(true)), {1}},
      {Encode(dodudo::KEmptyData()), {}},
      {Encode(dodudo::KBufferHolder(raw, 3)), {3, 0, 0, 0, 1, 2, 3}},
      {Encode(dodudo::KBufferHolder()), {0, 0, 0, 0}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  Primitives back;
  back.a = back.b = back.c = back.d = back.f = back.e = 0;
  back.g = Colour::kRed;
  Decode(primitives, back);
  EXPECT_EQ(Encode(back), primitives);
  dodudo::KPlainData<bool> flag;
  Decode(Bytes{0x02}, flag);  // any non-zero byte is true, never an invalid bool
  EXPECT_TRUE(flag.value);
}

TEST(KSerialLimits, StringsAndHoldersOnBothSidesOfTheBound) {
  kstring text("old");
  Bytes fits = Wire(2048, 2048, 'q');
  fits.back() = 0;
  Decode(fits, text);
  EXPECT_EQ(text, std::string(2047, 'q'));
  text = "old";
  EXPECT_EQ(TextOf([&] { Decode(Wire(2049, 2049, 'q'), text); }),
            "cannot serialize string bigger than KMAX_STRING_SIZE(2048)");
  EXPECT_THROW(Decode(Wire(0, 0, 0), text), std::length_error);
  EXPECT_EQ(text, "old");

  dodudo::KBufferHolder holder(8);
  unsigned char* array = holder.Data();
  Decode(Wire(3, 3, 2), holder);
  EXPECT_TRUE(holder.Data() == array && holder.Size() == 3 && holder.Capacity() == 8);  // reused
  Decode(Wire(8096, 8096, 0x5A), holder);
  EXPECT_EQ(holder.Capacity(), 8096u);  // grown to exactly the size
  EXPECT_EQ(holder.Data()[8095], 0x5A);
  EXPECT_EQ(TextOf([&] { Decode(Wire(8097, 8097, 0), holder); }),
            "Maximum buffer size of 8096 exceeded (8097)");
  EXPECT_EQ(holder.Size(), 8096u);
  unsigned char external[4] = {0, 0, 0, 0};
  dodudo::KBufferHolder wrapped(external, 4);
  Decode(Wire(2, 2, 7), wrapped);
  EXPECT_TRUE(wrapped.Data() == external && external[1] == 7 && wrapped.Size() == 2);
  EXPECT_EQ(TextOf([&] { Decode(Wire(5, 5, 0), wrapped); }),
            "Impossible serialize on external alloced memory");
}

TEST(KSerialLimits, ForgedLengthsNeverLeaveTheBlock) {
  kstring text("keep");
  EXPECT_EQ(TextOf([&] { Decode(Wire(100, 4, 'a'), text); }),
            "Read beyond end of buffer (100 bytes requested, 4 left)");
  EXPECT_EQ(text, "keep");
  dodudo::KBufferHolder holder(4);
  holder.Data()[0] = 0x11;
  EXPECT_EQ(TextOf([&] { Decode(Wire(3, 1, 0xEE), holder); }),
            "Read beyond end of buffer (3 bytes requested, 1 left)");
  EXPECT_EQ(TextOf([&] { Decode(Wire(100, 46, 0xEE), holder); }),
            "Read beyond end of buffer (100 bytes requested, 46 left)");
  EXPECT_TRUE(holder.Size() == 4 && holder.Capacity() == 4 && holder.Data()[0] == 0x11);

  Composite c, back;
  c.items = {"x", "y"};
  const Bytes valid = Encode(c);
  Bytes forged = valid;
  forged[forged.size() - 2 * 6 - 1] = 0x7F;  // item count 0x7F000002
  EXPECT_THROW(Decode(forged, back), dodudo::KException);
  for (size_t cut = 0; cut < valid.size(); ++cut)
    EXPECT_THROW(Decode(Bytes(valid.begin(), valid.begin() + cut), back), dodudo::KException)
        << cut;
  dodudo::KBufferDeserializer none(nullptr, 10);
  EXPECT_EQ(TextOf([&] { text.Serialize(none); }), "Buffer not initialized, invalid serialization");
  dodudo::KBufferSerializer writer(&holder);  // the bound on the writing side
  EXPECT_EQ(TextOf([&] { kstring("abc").Serialize(writer); }),
            "Write beyond end of buffer (4 bytes requested, 0 left)");
  EXPECT_EQ(Bytes(holder.Data(), holder.Data() + 4), Wire(4, 0, 0));
}

TEST(KSerialRoundTrip, CompositeThroughSizePassAndBuffers) {
  Composite c, back;
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
  back.items = {"stale"};
  holder.Load(back);
  EXPECT_EQ(Encode(back), Encode(c));
  EXPECT_TRUE(c.blob.Owned() && c.blob.Data() != raw);  // a copy owns its bytes
}

TEST(KBufferHolder, CopyAssignmentRules) {
  unsigned char raw[6] = {1, 2, 3, 4, 5, 6};
  dodudo::KBufferHolder source(raw, 6), target(10), wrapped(raw, 6);
  unsigned char* array = target.Data();
  target = source;  // fits: copied in place
  EXPECT_TRUE(target.Data() == array && target.Size() == 6 && target.Capacity() == 10);
  EXPECT_EQ(Bytes(array, array + 6), Bytes(raw, raw + 6));
  EXPECT_EQ(TextOf([&] { wrapped = target; }), "Cannot overwrite external Data");
  EXPECT_TRUE(dodudo::KBufferHolder(source).Owned());
}
