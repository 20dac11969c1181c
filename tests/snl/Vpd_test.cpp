// The VPD record through the exported accessors: layouts, checksum, legacy images, patching.
#include <gtest/gtest.h>

#include <future>
#include <tuple>
#include <vector>

#include "DOdudo/host/KBaseException.h"
#include "snl/SNLKVAInternal.h"
#include "support/LoopbackPeer.h"

using namespace SNLKVAInternal;
using Bytes = std::vector<unsigned char>;

namespace {

// An image of the type's size, zero except for the field block bytes given from block offset 0
// and the identifier word.
Bytes Image(KVPD_Device_Type type, Bytes block = {}, unsigned int idWord = 0) {
  Bytes image(kva2GetInternalSize(type), 0);
  const unsigned int blockOffset = type == KVPD_TYPE_2 || type == KVPD_TYPE_4 ? 136 : 0;
  const unsigned int idOffset = type == KVPD_TYPE_2 ? 12 : type == KVPD_TYPE_4 ? 68 : 128;
  std::copy(block.begin(), block.end(), image.begin() + blockOffset);
  for (int i = 0; i < 4; ++i) image[idOffset + i] = static_cast<unsigned char>(idWord >> (8 * i));
  return image;
}

// A legacy image: "TOLMA" with each 16-bit word's bytes swapped, the 0x3C 0x01 tag, and the
// serial text placed at block bytes 94..99 (also swapped in pairs).
Bytes LegacyImage(const char serialText[7]) {
  Bytes block(120, 0);
  block[59] = 'T', block[58] = 'O', block[61] = 'L', block[60] = 'M', block[63] = 'A';
  block[62] = 0x77;  // not part of the marker
  block[118] = 0x3C, block[119] = 0x01;
  for (int i = 0; i < 6; i += 2) {
    block[94 + i] = static_cast<unsigned char>(serialText[i + 1]);
    block[95 + i] = static_cast<unsigned char>(serialText[i]);
  }
  return Image(KVPD_TYPE_22, block);
}

TEST(VpdLayout, SizesPerTypeAndInvalidTypeMessageInLatin1) {
  StartIntrKVA();
  for (auto [type, size, extra] : {std::tuple{KVPD_TYPE_2, 256u, 0u}, {KVPD_TYPE_4, 256u, 0u},
                                   {KVPD_TYPE_8, 132u, 4u}, {KVPD_TYPE_22, 132u, 4u}}) {
    EXPECT_EQ(size, kva2GetInternalSize(type)) << type;
    EXPECT_EQ(extra, kva2GetDiffExtraSize(type)) << type;
  }
  for (int type : {0, 3}) {
    Bytes image(256);
    EXPECT_EQ("N\xE3o foi poss\xEDvel identificar interface de comunica\xE7\xE3o de uma ou mais "
              "placas!",
              snltest::TextOf<KBaseException>(
                  [&] { kva2GetSerial(static_cast<KVPD_Device_Type>(type), image.data()); }));
  }
  // The VPD lock was released on the throwing path: another thread gets through at once.
  auto other = std::async(std::launch::async, [] { return kva2GetInternalSize(KVPD_TYPE_22); });
  ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(2)));
  EXPECT_EQ(132u, other.get());
}

TEST(VpdChecksum, SeededSumOverEveryFieldButTheChecksum) {
  // (sum + b) ^ b from 0xC0E9 over bytes 0..10 and 15..26, stored as a 32-bit word at 11.
  Bytes block(27);
  uint32_t sum = 0xC0E9;
  for (int i = 0; i < 27; ++i) {
    block[i] = static_cast<unsigned char>(0x11 * (i + 1));
    if (i < 11 || i > 14) sum = (sum + block[i]) ^ block[i];
  }
  for (int k = 0; k < 4; ++k) block[11 + k] = static_cast<unsigned char>(sum >> (8 * k));
  const Bytes image = Image(KVPD_TYPE_22, block);
  EXPECT_TRUE(kva2GetCheck(KVPD_TYPE_22, Bytes(image).data()));
  for (int i : {0, 10, 14, 15, 26}) {
    Bytes changed = image;
    changed[i] ^= 0x01;
    EXPECT_FALSE(kva2GetCheck(KVPD_TYPE_22, changed.data())) << "byte " << i;
  }
}

TEST(VpdLegacy, SerialTextIsConvertedAndTheRestZeroed) {
  // The board type by serial: 0 -> 0x0100, 1..109 -> 0, 110 and up -> 0x0001. Digits are not
  // checked and the sum wraps at 16 bits.
  const struct {
    const char* text;
    int serial, type, subtype;
  } rows[] = {{"X00000", 0, 1, 0}, {"X00109", 109, 0, 0}, {"X00110", 110, 0, 1},
              {"X99999", 99999 - 65536, 0, 1}};
  for (const auto& row : rows) {
    Bytes image = LegacyImage(row.text);
    unsigned char* p = image.data();
    EXPECT_EQ(row.serial, kva2GetSerial(KVPD_TYPE_22, p)) << row.text;
    EXPECT_EQ(row.type, kva2GetBoardType(KVPD_TYPE_22, p)) << row.text;
    EXPECT_EQ(row.subtype, kva2GetBoardSubType(KVPD_TYPE_22, p)) << row.text;
    EXPECT_EQ(30, kva2GetChannelCount(KVPD_TYPE_22, p, 1));
    EXPECT_EQ(2, kva2GetLinkCount(KVPD_TYPE_22, p));
    EXPECT_EQ(0, kva2GetYear(KVPD_TYPE_22, p) + kva2GetVer(KVPD_TYPE_22, p));  // marker: no version
    EXPECT_FALSE(kva2GetCheck(KVPD_TYPE_22, p));
  }
  for (int i : {58, 119}) {  // an incomplete marker makes an ordinary image
    Bytes spoilt = LegacyImage("X00105");
    spoilt[i] ^= 0x20;
    EXPECT_EQ(0, kva2GetSerial(KVPD_TYPE_22, spoilt.data())) << i;
  }
}

TEST(VpdMaskResources, PatchesOnlyImagesWithAnIdentifierWord) {
  unsigned char resources[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  unsigned char counts[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes block(40, 0x5A);  // bytes after the 27-byte field block must survive
  for (int i = 0; i < 27; ++i) block[i] = static_cast<unsigned char>(0xC0 + i);

  auto unmarked = Image(KVPD_TYPE_22, block, 0);
  const auto before = unmarked;
  kva2MaskResources(KVPD_TYPE_22, unmarked.data(), resources, counts);
  EXPECT_EQ(before, unmarked);

  auto marked = Image(KVPD_TYPE_22, block, 0x5A1C6000);
  auto expected = marked;
  std::copy(counts, counts + 8, expected.begin() + 15);
  std::copy(resources, resources + 4, expected.begin() + 23);
  kva2MaskResources(KVPD_TYPE_22, marked.data(), resources, counts);
  EXPECT_EQ(expected, marked);

  // Types 2 and 4 keep the block at 136 and their identifier word at 12 and 68.
  auto type2 = Image(KVPD_TYPE_2, {0x05, 0x00, 0x01, 0xD2, 0x04}, 1);
  EXPECT_EQ(5, kva2GetVer(KVPD_TYPE_2, type2.data()));
  EXPECT_EQ(1234, kva2GetSerial(KVPD_TYPE_4, type2.data()));
  auto type4 = type2;  // word at 12 only: type 4 sees 0 and leaves the image alone
  kva2MaskResources(KVPD_TYPE_4, type4.data(), resources, counts);
  EXPECT_EQ(type2, type4);
  kva2MaskResources(KVPD_TYPE_2, type2.data(), resources, counts);
  EXPECT_EQ(0xA1, type2[136 + 23]);
}

}  // namespace
