// The VPD record through the exported accessors: layouts, checksum, legacy images, patching.
#include <gtest/gtest.h>

#include <tuple>
#include <future>
#include <vector>

#include "DOdudo/host/KBaseException.h"
#include "snl/KVpd.h"
#include "snl/SNLKVAInternal.h"

using namespace SNLKVAInternal;

namespace {

const char kInvalidType[] =
    "N\xE3o foi poss\xEDvel identificar interface de comunica\xE7\xE3o de uma ou mais placas!";

const auto kType3 = static_cast<KVPD_Device_Type>(3);

// An image of the type's size, zero except for the field block bytes given from block offset 0.
std::vector<unsigned char> Image(KVPD_Device_Type type, std::vector<unsigned char> block = {},
                                 unsigned int idWord = 0) {
  std::vector<unsigned char> image(kva2GetInternalSize(type), 0);
  const unsigned int blockOffset = type == KVPD_TYPE_2 || type == KVPD_TYPE_4 ? 136 : 0;
  const unsigned int idOffset = type == KVPD_TYPE_2 ? 12 : type == KVPD_TYPE_4 ? 68 : 128;
  std::copy(block.begin(), block.end(), image.begin() + blockOffset);
  for (int i = 0; i < 4; ++i) image[idOffset + i] = static_cast<unsigned char>(idWord >> (8 * i));
  return image;
}

// A legacy image: "TOLMA" with each 16-bit word's bytes swapped, the 0x3C 0x01 tag, and the
// serial text placed at block bytes 94..99 (also swapped in pairs).
std::vector<unsigned char> LegacyImage(const char serialText[7], unsigned int idWord = 0) {
  std::vector<unsigned char> block(120, 0);
  block[59] = 'T', block[58] = 'O', block[61] = 'L', block[60] = 'M', block[63] = 'A';
  block[62] = 0x77;  // not part of the marker
  block[118] = 0x3C, block[119] = 0x01;
  for (int i = 0; i < 6; i += 2) {
    block[94 + i] = static_cast<unsigned char>(serialText[i + 1]);
    block[95 + i] = static_cast<unsigned char>(serialText[i]);
  }
  return Image(KVPD_TYPE_22, block, idWord);
}

TEST(VpdLayout, SizesPerTypeAndInvalidTypeMessageInLatin1) {
  StartIntrKVA();
  for (auto [type, size, extra] : {std::tuple{KVPD_TYPE_2, 256u, 0u}, {KVPD_TYPE_4, 256u, 0u},
                                   {KVPD_TYPE_8, 132u, 4u}, {KVPD_TYPE_22, 132u, 4u}}) {
    EXPECT_EQ(size, kva2GetInternalSize(type)) << type;
    EXPECT_EQ(extra, kva2GetDiffExtraSize(type)) << type;
  }
  for (auto call : {+[] { kva2GetInternalSize(kType3); }, +[] { kva2GetDiffExtraSize(kType3); },
                    +[] {
                      std::vector<unsigned char> image(256);
                      kva2GetSerial(static_cast<KVPD_Device_Type>(0), image.data());
                    }}) {
    try {
      call();
      ADD_FAILURE() << "an invalid type must throw";
    } catch (const KBaseException& e) {
      EXPECT_STREQ(kInvalidType, e.what());
    }
  }
  // The VPD lock was released on the throwing path: another thread gets through at once.
  auto other = std::async(std::launch::async, [] { return kva2GetInternalSize(KVPD_TYPE_22); });
  ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(2)));
  EXPECT_EQ(132u, other.get());
}

TEST(VpdFields, DecodesTheFieldBlockLittleEndian) {
  auto image = Image(KVPD_TYPE_22, {0x01, 0x34, 0x12, 0x39, 0x30, 0x0B,  // ver, type, serial, year
                                    0x07,                                // board version
                                    0x78, 0x56, 0x34, 0x12,              // security number
                                    0, 0, 0, 0,                          // checksum
                                    30, 0, 2, 0, 0, 0, 0, 9,             // link counts
                                    0xEF, 0xBE, 0xAD, 0xDE});            // resources
  unsigned char* p = image.data();
  EXPECT_EQ(1, kva2GetVer(KVPD_TYPE_22, p));
  EXPECT_EQ(0x34, kva2GetBoardSubType(KVPD_TYPE_22, p));
  EXPECT_EQ(0x12, kva2GetBoardType(KVPD_TYPE_22, p));
  EXPECT_EQ(12345, kva2GetSerial(KVPD_TYPE_22, p));
  EXPECT_EQ(11, kva2GetYear(KVPD_TYPE_22, p));
  EXPECT_EQ(7, kva2GetBoardVersion(KVPD_TYPE_22, p));
  EXPECT_EQ(0x12345678u, kva2GetSecNum(KVPD_TYPE_22, p));
  EXPECT_EQ(0xDEADBEEFu, kva2GetResources(KVPD_TYPE_22, p));
  EXPECT_EQ(30, kva2GetChannelCount(KVPD_TYPE_22, p, 0));
  EXPECT_EQ(9, kva2GetChannelCount(KVPD_TYPE_22, p, 7));
  EXPECT_EQ(0, kva2GetChannelCount(KVPD_TYPE_22, p, 8));
  EXPECT_EQ(0, kva2GetChannelCount(KVPD_TYPE_22, p, 255));
  EXPECT_EQ(3, kva2GetLinkCount(KVPD_TYPE_22, p));
}

TEST(VpdChecksum, SeededSumOverEveryFieldButTheChecksum) {
  auto zero = Image(KVPD_TYPE_22, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE9, 0xC0, 0, 0});
  EXPECT_TRUE(kva2GetCheck(KVPD_TYPE_22, zero.data()));
  zero[0] = 1;  // version 1: computed 0xC0EB, stored 0xC0E9
  EXPECT_FALSE(kva2GetCheck(KVPD_TYPE_22, zero.data()));
  zero[11] = 0xEB;
  EXPECT_TRUE(kva2GetCheck(KVPD_TYPE_22, zero.data()));
  zero[13] = 1;  // the stored value is compared as a whole 32-bit word
  EXPECT_FALSE(kva2GetCheck(KVPD_TYPE_22, zero.data()));

  // Every other field takes part: (sum + b) ^ b over bytes 0..10 and 15..26.
  KVpd record(KVPD_TYPE_22, nullptr);
  std::vector<unsigned char> block(27);
  for (int i = 0; i < 27; ++i) block[i] = static_cast<unsigned char>(0x11 * (i + 1));
  uint32_t sum = 0xC0E9;
  for (int i = 0; i < 27; ++i)
    if (i < 11 || i > 14) sum = (sum + block[i]) ^ block[i];
  auto image = Image(KVPD_TYPE_22, block);
  record.LoadFromBuffer(image.data());
  EXPECT_EQ(sum, record.GetCheckSum());
  EXPECT_EQ(0xFFEEDDCCu, record.GetCheckSumEeprom());
}

TEST(VpdLegacy, SerialTextIsConvertedAndTheRestZeroed) {
  auto image = LegacyImage("X00105");
  unsigned char* p = image.data();
  EXPECT_EQ(105, kva2GetSerial(KVPD_TYPE_22, p));
  EXPECT_EQ(0, kva2GetBoardType(KVPD_TYPE_22, p));
  EXPECT_EQ(0, kva2GetBoardSubType(KVPD_TYPE_22, p));
  EXPECT_EQ(30, kva2GetChannelCount(KVPD_TYPE_22, p, 0));
  EXPECT_EQ(30, kva2GetChannelCount(KVPD_TYPE_22, p, 1));
  EXPECT_EQ(2, kva2GetLinkCount(KVPD_TYPE_22, p));
  EXPECT_EQ(0, kva2GetYear(KVPD_TYPE_22, p));
  EXPECT_EQ(0, kva2GetVer(KVPD_TYPE_22, p));  // the marker bytes are not a version
  EXPECT_FALSE(kva2GetCheck(KVPD_TYPE_22, p));

  // The board-type rule by serial: 0 -> 0x0100, 1..109 -> 0, 110 and up -> 0x0001.
  auto s0 = LegacyImage("X00000"), s109 = LegacyImage("X00109"), s110 = LegacyImage("X00110");
  EXPECT_EQ(1, kva2GetBoardType(KVPD_TYPE_22, s0.data()));
  EXPECT_EQ(0, kva2GetBoardSubType(KVPD_TYPE_22, s0.data()));
  EXPECT_EQ(0, kva2GetBoardType(KVPD_TYPE_22, s109.data()));
  EXPECT_EQ(0, kva2GetBoardSubType(KVPD_TYPE_22, s109.data()));
  EXPECT_EQ(0, kva2GetBoardType(KVPD_TYPE_22, s110.data()));
  EXPECT_EQ(1, kva2GetBoardSubType(KVPD_TYPE_22, s110.data()));
  // Digits are not checked and the sum wraps at 16 bits: "99999" is 99999 - 65536.
  auto big = LegacyImage("X99999");
  EXPECT_EQ(99999 - 65536, kva2GetSerial(KVPD_TYPE_22, big.data()));
}

TEST(VpdLegacy, AnIncompleteMarkerIsAnOrdinaryImage) {
  auto image = LegacyImage("X00105");
  image[119] = 0x02;
  EXPECT_EQ(0, kva2GetSerial(KVPD_TYPE_22, image.data()));
  EXPECT_EQ(0, kva2GetLinkCount(KVPD_TYPE_22, image.data()));
  image = LegacyImage("X00105");
  image[58] = 'o';
  EXPECT_EQ(0, kva2GetSerial(KVPD_TYPE_22, image.data()));
}

TEST(VpdMaskResources, PatchesOnlyImagesWithAnIdentifierWord) {
  unsigned char resources[4] = {0xA1, 0xA2, 0xA3, 0xA4};
  unsigned char counts[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<unsigned char> block(27);
  for (int i = 0; i < 27; ++i) block[i] = static_cast<unsigned char>(0xC0 + i);

  block.resize(40, 0x5A);  // bytes after the field block must survive
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
  EXPECT_EQ(0xA4A3A2A1u, kva2GetResources(KVPD_TYPE_22, marked.data()));

  // Types 2 and 4 keep the block at 136 and their identifier word at 12 and 68.
  auto type2 = Image(KVPD_TYPE_2, {0x05, 0x00, 0x01, 0xD2, 0x04}, 1);
  EXPECT_EQ(5, kva2GetVer(KVPD_TYPE_2, type2.data()));
  EXPECT_EQ(1234, kva2GetSerial(KVPD_TYPE_4, type2.data()));
  EXPECT_EQ(0, kva2GetVer(KVPD_TYPE_22, type2.data()));
  auto type4 = type2;  // word at 12 only: type 4 sees 0 and leaves the image alone
  kva2MaskResources(KVPD_TYPE_4, type4.data(), resources, counts);
  EXPECT_EQ(type2, type4);
  kva2MaskResources(KVPD_TYPE_2, type2.data(), resources, counts);
  EXPECT_EQ(0xA1, type2[136 + 23]);
}

TEST(VpdRecord, FieldLookupAndBoardInfo) {
  KVpd record(KVPD_TYPE_22, nullptr);
  EXPECT_EQ(6, record.FieldIndex("ChannelLinkCount"));
  try {
    record.FieldIndex("channellinkcount");  // names match exactly
    ADD_FAILURE();
  } catch (const KBaseException& e) {
    EXPECT_STREQ("Erro lendo campos do VPD.", e.what());
  }
  record.SetBoardInfo(3, 4, 0x12, 0x34, 54321, 26, 0xCAFEF00D);
  record.UpdateBoardInfo();
  EXPECT_EQ(0x1234, record.BoardType() << 8 | record.BoardSubType());
  EXPECT_EQ(54321, record.Serial());
  EXPECT_EQ(0xCAFEF00Du, record.SecurityNumber());
}

}  // namespace
