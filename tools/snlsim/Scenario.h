#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What snlsim emulates: a list of boards read from a small INI-style text file.
//
//   # lines starting with '#' or ';' are comments
//   [board]                      one section per board, on root-hub ports 1, 2, ... in order
//   vendor = 0x5A1C              idVendor (default 0x5A1C)
//   product = 0x6000             idProduct (default 0x6000)
//   release = 0x000F             bcdDevice (default 0x000F)
//   serial = 12345               VPD serial number (default 1000 + board number)
//   links = 2                    VPD link count of group 0 (default 2)
//   type = 0                     VPD board-type byte (default 0)
//   subtype = 0                  VPD board-subtype byte (default 0)
//   vpd = 01 00 00 39 30 0B      raw VPD bytes instead of the fields above (zero-padded to 128)
//   vpd-length = 127             bytes returned to the VPD read (default 128)
//   firmware = 0x58              byte answered to the firmware check; "none" answers no byte
//   status = 0x01                status byte answered to ping and status requests
//   fail = 0x66:ETIMEDOUT 0x64:EPIPE   requests that fail with ETIMEDOUT (after the transfer's
//                                own timeout), EPIPE (a stall) or ENODEV (gone)
//   refuse = configuration claim configuration 1 and/or interface 0 are refused (EBUSY)
//   reset = reappear             after a reset the board leaves and comes back under a new
//                                address (reappear, the default), leaves for good (vanish) or
//                                stays where it is (stay)
//   unplug-after = 4             the board answers this many vendor requests, then every
//                                request fails with ENODEV (unplugged)
struct BoardScenario {
  uint16_t vendor = 0x5A1C;
  uint16_t product = 0x6000;
  uint16_t release = 0x000F;
  std::vector<uint8_t> vpd;  // 128 bytes
  int vpdLength = 128;
  int firmware = 0x58;  // -1: no byte
  uint8_t status = 0x01;
  std::map<int, int> failures;  // bRequest -> errno
  bool refuseConfiguration = false;
  bool refuseClaim = false;
  enum class Reset { kReappear, kVanish, kStay } reset = Reset::kReappear;
  int unplugAfter = -1;
};

// Parses a scenario file. Throws std::runtime_error with "<file>:<line>: <what>" on bad input.
std::vector<BoardScenario> LoadScenario(const std::string& path);
