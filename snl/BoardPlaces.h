#pragma once

#include <usb.h>

#include <string>
#include <vector>

// Where a watchdog board sits, and which boards this process may use.
//
// libusb-0.1 lists devices in the order its directory scan happens to meet them, and a reset
// board comes back under a new address, so that order differs from one process to the next. A
// board's index must mean the same board to every process (an operator runs one keep-alive per
// board), so boards are ordered by the USB port they are plugged into, which no reset changes.
//
// SNL_BOARDS restricts a process to some boards: "1" or "0,2" (indexes in port order, as a
// process without the variable would number them). The other boards are never opened, so a
// process keeping board 0 alive and another keeping board 1 alive do not disturb each other.
// The boards named are numbered from 0 again, in port order.
namespace snlusb {

struct BoardPlace {
  // Bus number, then the port numbers from the root hub down ("1-4.2" is {1, 4, 2}); empty when
  // sysfs does not show the device.
  std::vector<int> port;
  // "bus/device" as libusb names it: the identity of a device sysfs does not show (it holds only
  // until the device enumerates again).
  std::string node;

  bool operator==(const BoardPlace& other) const {
    return port.empty() ? other.port.empty() && node == other.node : port == other.port;
  }
};

// The watchdog boards on the buses, in port order (devices sysfs does not show come last, in
// libusb's order), each with its place.
std::vector<std::pair<struct usb_device*, BoardPlace>> BoardsInPortOrder(struct usb_bus* busses);

// The boards a process is to use: every board, or the places SNL_BOARDS named.
struct BoardChoice {
  bool every = true;
  std::vector<BoardPlace> places;

  bool Has(const BoardPlace& place) const {
    if (every) return true;
    for (const BoardPlace& p : places)
      if (p == place) return true;
    return false;
  }
};

// Which boards to use. Parses text (null: every board, indexes left empty): decimal indexes
// separated by commas, each at most kMaxBoardIndex. Returns false for anything else, "" included.
constexpr int kMaxBoardIndex = 1023;
bool ParseBoardSelection(const char* text, std::vector<int>* indexes);

}  // namespace snlusb
