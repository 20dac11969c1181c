#pragma once

#include <usb.h>

// The board's USB identity and vendor command set: control transfers on endpoint 0 with wValue
// and wIndex 0.
namespace snlusb {

constexpr unsigned short kVendorIds[] = {0x5A1C, 0xC0E9};
constexpr unsigned short kProductId = 0x6000;
constexpr unsigned short kDeviceRelease = 0x000F;

constexpr int kVendorIn = 0xC0;   // device-to-host, vendor, device
constexpr int kVendorOut = 0x40;  // host-to-device, vendor, device

constexpr int kRequestVpd = 0x32;       // 128 bytes in
constexpr int kRequestFirmware = 0x33;  // 1 byte in, 'X' when the firmware is ours
constexpr int kRequestStart = 0x64;
constexpr int kRequestStop = 0x65;
constexpr int kRequestStatus = 0x66;  // 1 byte in: the status byte (ping and status query)
constexpr int kRequestConfigure = 0x67;  // 2 bytes out: time, links

constexpr unsigned char kFirmwareAnswer = 0x58;
constexpr int kCommandTimeoutMs = 500;
constexpr int kConfigurationIdle = 0;
constexpr int kConfigurationActive = 1;
constexpr int kInterface = 0;

constexpr int kStatusFailed = 4;

// True for a watchdog board: all three descriptor fields must match.
inline bool IsWatchdogBoard(const struct usb_device* device) {
  const usb_device_descriptor& d = device->descriptor;
  if (d.idProduct != kProductId || d.bcdDevice != kDeviceRelease) return false;
  for (unsigned short vendor : kVendorIds)
    if (d.idVendor == vendor) return true;
  return false;
}

// Status code from the board's status byte; only bits 0 and 1 count.
//   bit0 set, bit1 clear -> 0; both clear -> 1; both set -> 2; bit0 clear, bit1 set -> 3.
inline int DecodeStatus(unsigned char status) {
  static constexpr int kCodes[4] = {1, 0, 3, 2};
  return kCodes[status & 0x03];
}

}  // namespace snlusb
