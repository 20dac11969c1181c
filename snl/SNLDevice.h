#pragma once

#include <usb.h>

// One adopted watchdog board. Discovery allocates it, the controller owns it and deletes it in
// its destructor. Guarded by the controller's lock.
struct SNLDevice {
  static constexpr int kVpdCapacity = 256;

  bool stopped = false;  // set by StopDevice; a stopped board is treated as an invalid index
  int serial = 0;        // VPD serial number, zero-extended
  int boardType = 0;     // always 0 for an adopted board
  int boardSubtype = 0;
  int links = 0;                             // entry 0 of the VPD link counts
  unsigned char vpd[kVpdCapacity] = {};      // the type-22 image (132 bytes used)
  usb_dev_handle* handle = nullptr;          // null once closed
};
