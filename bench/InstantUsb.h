#pragma once

// A libusb-0.1 stand-in for benchmarks, linked in place of the real library: one bus with one
// watchdog board whose every control transfer answers at once, with no kernel involved. What a
// call through libsnl costs on top of it is then the library's own cost.
// Not thread-safe beyond what libsnl's own lock gives; counts nothing, checks nothing.

#include <usb.h>

namespace snlbench {

// The handle of the emulated board, for calling usb_control_msg directly (the floor).
usb_dev_handle* InstantBoardHandle();

}  // namespace snlbench
