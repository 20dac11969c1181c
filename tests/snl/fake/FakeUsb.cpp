#include "FakeUsb.h"

#include <algorithm>
#include <cstdio>

struct usb_dev_handle {
  int board;
};

struct usb_bus* usb_busses = nullptr;

namespace fakeusb {

Board MakeBoard(uint16_t serial, uint8_t links, uint16_t vendor) {
  std::vector<uint8_t> vpd(128, 0);
  vpd[0] = 1;
  vpd[3] = static_cast<uint8_t>(serial);
  vpd[4] = static_cast<uint8_t>(serial >> 8);
  vpd[5] = 26;
  vpd[15] = links;
  return {vendor, 0x6000, 0x000F, {{0x33, {1, {'X'}}}, {0x32, {128, vpd}}, {0x66, {1, {0x01}}},
                                   {0x64, {0, {}}}, {0x65, {0, {}}}, {0x67, {2, {}}}}};
}

State& Get() {
  static State state;
  return state;
}

void Reset() {
  Get() = State();
  usb_busses = nullptr;
}

std::string TakeCalls() {
  std::string joined;
  for (const std::string& call : Get().calls) joined += (joined.empty() ? "" : ", ") + call;
  Get().calls.clear();
  return joined;
}

// Records the call and returns its scripted result.
static int Record(const std::string& call) {
  Get().calls.push_back(call);
  std::deque<int>& script = Get().results[call];
  if (script.empty()) return 0;
  const int result = script.front();
  script.pop_front();
  return result;
}

}  // namespace fakeusb

using fakeusb::Get;
using fakeusb::Record;

extern "C" {

void usb_init(void) { Record("init"); }

int usb_find_busses(void) {
  Record("find_busses");
  if (Get().noBus) return 0;
  usb_busses = &Get().bus;
  return 1;
}

int usb_find_devices(void) {
  Record("find_devices");
  fakeusb::State& s = Get();
  if (s.devices.size() != s.boards.size()) {  // the first scan
    s.devices.assign(s.boards.size(), {});
    for (size_t i = 0; i < s.boards.size(); ++i) {
      s.devices[i].bus = &s.bus;
      s.devices[i].descriptor.idVendor = s.boards[i].vendor;
      s.devices[i].descriptor.idProduct = s.boards[i].product;
      s.devices[i].descriptor.bcdDevice = s.boards[i].release;
      s.devices[i].next = i + 1 < s.boards.size() ? &s.devices[i + 1] : nullptr;
    }
    s.bus.devices = s.devices.empty() ? nullptr : s.devices.data();
    return static_cast<int>(s.boards.size());
  }
  int changes = 2 * s.resets;
  s.resets = 0;
  if (!s.changes.empty()) {
    changes = s.changes.front();
    s.changes.pop_front();
  }
  return changes;
}

struct usb_bus* usb_get_busses(void) { return usb_busses; }

usb_dev_handle* usb_open(struct usb_device* dev) {
  const int board = static_cast<int>(dev - Get().devices.data());
  if (Record("open " + std::to_string(board)) < 0) return nullptr;
  ++Get().openHandles;
  return new usb_dev_handle{board};
}

int usb_close(usb_dev_handle* dev) {
  Record("close " + std::to_string(dev->board));
  --Get().openHandles;
  delete dev;
  return 0;
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
  return Record("set_configuration " + std::to_string(dev->board) + " " +
                std::to_string(configuration));
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
  return Record("claim_interface " + std::to_string(dev->board) + " " + std::to_string(interface));
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
  return Record("release_interface " + std::to_string(dev->board) + " " +
                std::to_string(interface));
}

int usb_reset(usb_dev_handle* dev) {
  ++Get().resets;
  return Record("reset " + std::to_string(dev->board));
}

struct usb_device* usb_device(usb_dev_handle* dev) {
  return &Get().devices[static_cast<size_t>(dev->board)];
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index,
                    char* bytes, int size, int timeout) {
  char text[64];
  snprintf(text, sizeof text, "control %d %x %x %d %d %d %d", dev->board, requesttype, request,
           value, index, size, timeout);
  std::string call = text;
  const bool in = (requesttype & 0x80) != 0;
  for (int i = 0; !in && i < size; ++i) {
    snprintf(text, sizeof text, i == 0 ? " %02x" : "%02x", static_cast<uint8_t>(bytes[i]));
    call += text;
  }
  Record(call);
  if (Get().onTransfer) Get().onTransfer();
  const auto& replies = Get().boards[static_cast<size_t>(dev->board)].replies;
  auto it = replies.find(request);
  if (it == replies.end()) return -32;
  const std::vector<uint8_t>& data = it->second.data;
  if (in) std::copy_n(data.begin(), std::min<size_t>(data.size(), std::max(size, 0)), bytes);
  return it->second.result;
}

}  // extern "C"
