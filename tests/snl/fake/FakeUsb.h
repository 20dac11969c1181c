#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A link-time stand-in for libusb-0.1: scripted boards on scripted buses. Every call the library
// makes is recorded, and every control transfer with its bytes, so tests can assert on exactly
// what went to the "wire". Not thread-safe except for the transfer hook, which runs outside the
// fake's own state and may block.
namespace fakeusb {

// What a board answers to one vendor request: result is the byte count returned (or a negative
// errno, as libusb reports failures), data the bytes copied into the caller's buffer.
struct Reply {
  int result = 0;
  std::vector<uint8_t> data;
};

struct Board {
  uint16_t vendor = 0x5A1C;
  uint16_t product = 0x6000;
  uint16_t release = 0x000F;
  std::vector<int> failingOpens;  // ordinals of usb_open calls on this board that fail (0 = first)
  int setConfigurationResult = 0;  // returned for configuration 1
  int claimResult = 0;
  bool reappearsAfterReset = true;  // a reset shows as two device changes (gone, back)
  std::map<int, Reply> replies;     // by bRequest; see DefaultReplies()
};

// Firmware 'X', a 128-byte all-zero VPD, status byte 0x01, start/stop 0, configure 2.
std::map<int, Reply> DefaultReplies();
// A board whose VPD image (128 bytes, the host adds the identifier word) is vpd.
Board BoardWithVpd(const std::vector<uint8_t>& vpd);

struct Transfer {
  int board;
  int requestType;
  int request;
  int value;
  int index;
  int length;
  int timeout;
  std::vector<uint8_t> out;  // host-to-device data stage
};

struct State {
  std::vector<Board> boards;      // all on bus 0 unless busCount > 1 (then spread round-robin)
  int busCount = 1;
  std::deque<int> findDevices;    // scripted usb_find_devices results; empty: emulate changes
  std::vector<std::string> calls;  // "open 0", "reset 0", "control 0 c0 66", ...
  std::vector<Transfer> transfers;
  int openHandles = 0;
  int findDevicesCalls = 0;
  std::function<void(const Transfer&)> onTransfer;  // runs inside usb_control_msg
};

State& Get();
// Forgets every board, bus and record. Buses handed out earlier become invalid.
void Reset();
// The calls recorded so far that start with prefix.
std::vector<std::string> CallsStartingWith(const std::string& prefix);

}  // namespace fakeusb
