#include "DOdudo/host/KHex.h"

#include <gtest/gtest.h>

#include <vector>

using Bytes = std::vector<unsigned char>;

TEST(KHex, DataToHexSeparatesOnlyBetweenBytes) {
  const unsigned char data[] = {0x01, 0xAB, 0x00};
  EXPECT_EQ(dodudo::DataToHex(data, 2, ":"), "01:AB");
  EXPECT_EQ(dodudo::DataToHex(data, 2, ""), "01AB");
  EXPECT_EQ(dodudo::DataToHex(data, 3, ", "), "01, AB, 00");
  EXPECT_EQ(dodudo::DataToHex(data, 0, ":"), "");
}

TEST(KHex, HexToDataPairsSeparatorsAndOddTail) {
  EXPECT_EQ(dodudo::HexToData("0A-ff 3", "- "), (Bytes{0x0A, 0xFF, 0x03}));
  EXPECT_EQ(dodudo::HexToData("01::--02", ":-"), (Bytes{0x01, 0x02}));
  EXPECT_EQ(dodudo::HexToData("zz01", ""), (Bytes{0x00, 0x01}));  // bad digits give 0
  EXPECT_EQ(dodudo::HexToData(dodudo::kstring(std::string("1\0"
                                                          "2",
                                                          3)),
                              ""),
            (Bytes{0x01, 0x02}));
  Bytes out{0x7E};
  dodudo::HexToData("10", out, "");
  EXPECT_EQ(out, (Bytes{0x7E, 0x10}));
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(dodudo::HexToData(dodudo::DataToHex(all.data(), 256, " "), " "), all);
}
