#pragma once

#include <umockdev.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Scenario.h"

// The boards of a scenario as USB devices of a umockdev testbed: device records under
// /sys and /dev/bus/usb/001, and an ioctl handler per device node that answers what libusb-0.1
// asks of usbfs (connect info, control transfers, configuration, interface claims, resets).
// As usbfs, a configuration change is refused (EBUSY) while an interface is claimed.
// Every request is appended to the record file with its bytes, one line each:
//
//   board=0 SETCONFIGURATION 1 -> 0
//   board=0 CONTROL c0 33 value=0 index=0 length=1 timeout=500 -> 1 data=58
//   board=0 RESET -> 0
//
// Creating the bus creates the testbed and sets UMOCKDEV_DIR for processes started afterwards;
// those must run with libumockdev-preload. The handlers run on umockdev's own thread; the boards'
// state and the record file are guarded by one lock, taken by the constructor too. Not copyable;
// destroying the bus removes the testbed.
class EmulatedBus {
 public:
  EmulatedBus(const std::vector<BoardScenario>& boards, FILE* record);
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  struct Board;

 private:
  void Plug(Board& board);
  void Unplug(Board& board);
  void Record(const Board& board, const std::string& text);
  static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer data);
  static void OnClientVanished(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                               gpointer data);
  gboolean Handle(Board& board, UMockdevIoctlClient* client);
  void Control(Board& board, UMockdevIoctlClient* client);

  UMockdevTestbed* testbed_;
  FILE* record_;
  std::recursive_mutex lock_;
  int nextDevnum_ = 2;
  std::vector<std::unique_ptr<Board>> boards_;
};
