#pragma once

#include <usb.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A link-time stand-in for libusb-0.1: scripted boards on one bus. Every call the library makes
// is recorded as a line ("open 0", "control 0 40 67 0 0 2 500 1e02": board, request type,
// request, value, index, length, timeout, data sent), so tests assert on exactly what went to the
// "wire". Not thread-safe; the transfer hook runs inside usb_control_msg and may block.
namespace fakeusb {

// What a board answers to one vendor request: a byte count (or a negative errno, as libusb
// reports failures) and the bytes copied into the caller's buffer.
struct Reply {
  int result = 0;
  std::vector<uint8_t> data;
};

struct Board {
  uint16_t vendor = 0x5A1C, product = 0x6000, release = 0x000F;
  std::map<int, Reply> replies;  // by bRequest; an unknown request stalls
};

// Firmware 'X', a VPD of version 1 with serial, year 26 and links in group 0, status byte 0x01,
// start/stop 0 and configure 2.
Board MakeBoard(uint16_t serial, uint8_t links, uint16_t vendor = 0x5A1C);

struct State {
  std::vector<Board> boards;  // in place before the first scan
  bool noBus = false;
  std::deque<int> changes;  // scripted rescans; by default a reset board counts 2 (gone, back)
  // Results of open, set_configuration and claim_interface by recorded line, one per call in
  // order (0: success, negative: failure); calls beyond the script succeed.
  std::map<std::string, std::deque<int>> results;
  std::vector<std::string> calls;
  int openHandles = 0;
  std::function<void()> onTransfer;
  // What the fake hands to the library, built on the first scan.
  usb_bus bus{};
  std::vector<struct usb_device> devices;
  int resets = 0;
};

State& Get();
void Reset();
// The recorded calls joined by ", ", forgotten afterwards.
std::string TakeCalls();

}  // namespace fakeusb
