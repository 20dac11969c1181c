#pragma once

#include <cstdint>
#include <vector>

#include "FakeUsb.h"

namespace snltest {

// A 128-byte VPD as a board stores it: version 1, board type 0 with the given subtype, serial,
// year 26 and link counts, the rest zero.
inline std::vector<uint8_t> BoardVpd(uint16_t serial, uint8_t links, uint8_t subtype = 0,
                                     uint8_t boardType = 0) {
  std::vector<uint8_t> vpd(128, 0);
  vpd[0] = 1;
  vpd[1] = subtype;
  vpd[2] = boardType;
  vpd[3] = static_cast<uint8_t>(serial);
  vpd[4] = static_cast<uint8_t>(serial >> 8);
  vpd[5] = 26;
  vpd[15] = links;
  return vpd;
}

inline fakeusb::Board Board(uint16_t serial, uint8_t links, uint16_t vendor = 0x5A1C) {
  fakeusb::Board b = fakeusb::BoardWithVpd(BoardVpd(serial, links));
  b.vendor = vendor;
  return b;
}

}  // namespace snltest
