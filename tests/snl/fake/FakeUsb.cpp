#include "FakeUsb.h"

#include <usb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

struct usb_dev_handle {
  int board;
};

struct usb_bus* usb_busses = nullptr;

namespace fakeusb {
namespace {

// The bus and device structures handed to the library, rebuilt on every scan.
struct Topology {
  std::vector<std::unique_ptr<usb_bus>> buses;
  std::vector<std::unique_ptr<struct usb_device>> devices;
  int resetsSinceScan = 0;
  bool scanned = false;
  std::vector<int> opens;  // per board, usb_open calls so far
};

Topology& Topo() {
  static Topology topology;
  return topology;
}

std::string Hex(int v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%x", v);
  return buf;
}

void Record(std::string call) { Get().calls.push_back(std::move(call)); }

void BuildBuses() {
  Topology& t = Topo();
  t.buses.clear();
  for (int i = 0; i < Get().busCount; ++i) {
    auto bus = std::make_unique<usb_bus>();
    memset(bus.get(), 0, sizeof(usb_bus));
    snprintf(bus->dirname, sizeof bus->dirname, "%03d", i + 1);
    bus->location = static_cast<uint32_t>(i + 1);
    if (i > 0) {
      t.buses[i - 1]->next = bus.get();
      bus->prev = t.buses[i - 1].get();
    }
    t.buses.push_back(std::move(bus));
  }
  usb_busses = t.buses.empty() ? nullptr : t.buses[0].get();
}

void BuildDevices() {
  Topology& t = Topo();
  for (auto& bus : t.buses) bus->devices = nullptr;
  t.devices.clear();
  if (t.buses.empty()) return;
  std::vector<struct usb_device*> tails(t.buses.size(), nullptr);
  for (size_t i = 0; i < Get().boards.size(); ++i) {
    const Board& b = Get().boards[i];
    auto dev = std::make_unique<struct usb_device>();
    memset(dev.get(), 0, sizeof(struct usb_device));
    size_t busIndex = i % t.buses.size();
    dev->bus = t.buses[busIndex].get();
    dev->devnum = static_cast<uint8_t>(i + 2);
    snprintf(dev->filename, sizeof dev->filename, "%03zu", i + 2);
    dev->descriptor.bLength = 18;
    dev->descriptor.idVendor = b.vendor;
    dev->descriptor.idProduct = b.product;
    dev->descriptor.bcdDevice = b.release;
    dev->descriptor.bNumConfigurations = 1;
    if (tails[busIndex] == nullptr) {
      dev->bus->devices = dev.get();
    } else {
      tails[busIndex]->next = dev.get();
      dev->prev = tails[busIndex];
    }
    tails[busIndex] = dev.get();
    t.devices.push_back(std::move(dev));
  }
}

int BoardOf(struct usb_device* dev) {
  Topology& t = Topo();
  for (size_t i = 0; i < t.devices.size(); ++i)
    if (t.devices[i].get() == dev) return static_cast<int>(i);
  return -1;
}

}  // namespace

std::map<int, Reply> DefaultReplies() {
  return {
      {0x33, {1, {'X'}}}, {0x32, {128, std::vector<uint8_t>(128, 0)}}, {0x66, {1, {0x01}}},
      {0x64, {0, {}}},    {0x65, {0, {}}},                            {0x67, {2, {}}},
  };
}

Board BoardWithVpd(const std::vector<uint8_t>& vpd) {
  Board b;
  b.replies = DefaultReplies();
  b.replies[0x32] = {static_cast<int>(vpd.size()), vpd};
  return b;
}

State& Get() {
  static State state;
  return state;
}

void Reset() {
  Get() = State();
  Topo() = Topology();
  usb_busses = nullptr;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& c : Get().calls)
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

}  // namespace fakeusb

using fakeusb::Get;
using fakeusb::Topo;

extern "C" {

void usb_init(void) { fakeusb::Record("init"); }

int usb_find_busses(void) {
  fakeusb::Record("find_busses");
  if (Topo().buses.empty()) fakeusb::BuildBuses();
  return Get().busCount;
}

int usb_find_devices(void) {
  fakeusb::Record("find_devices");
  ++Get().findDevicesCalls;
  auto& t = Topo();
  int changes;
  if (!t.scanned) {
    changes = static_cast<int>(Get().boards.size());
    t.scanned = true;
  } else {
    changes = 2 * t.resetsSinceScan;
  }
  t.resetsSinceScan = 0;
  fakeusb::BuildDevices();
  if (!Get().findDevices.empty()) {
    changes = Get().findDevices.front();
    Get().findDevices.pop_front();
  }
  return changes;
}

struct usb_bus* usb_get_busses(void) { return usb_busses; }

usb_dev_handle* usb_open(struct usb_device* dev) {
  int board = fakeusb::BoardOf(dev);
  fakeusb::Record("open " + std::to_string(board));
  if (board < 0) return nullptr;
  auto& opens = Topo().opens;
  if (opens.size() < Get().boards.size()) opens.resize(Get().boards.size(), 0);
  int ordinal = opens[static_cast<size_t>(board)]++;
  const auto& failing = Get().boards[static_cast<size_t>(board)].failingOpens;
  if (std::find(failing.begin(), failing.end(), ordinal) != failing.end()) return nullptr;
  ++Get().openHandles;
  return new usb_dev_handle{board};
}

int usb_close(usb_dev_handle* dev) {
  fakeusb::Record("close " + std::to_string(dev->board));
  --Get().openHandles;
  delete dev;
  return 0;
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
  fakeusb::Record("set_configuration " + std::to_string(dev->board) + " " +
                  std::to_string(configuration));
  if (configuration == 0) return 0;
  return Get().boards[static_cast<size_t>(dev->board)].setConfigurationResult;
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
  fakeusb::Record("claim_interface " + std::to_string(dev->board) + " " +
                  std::to_string(interface));
  return Get().boards[static_cast<size_t>(dev->board)].claimResult;
}

int usb_reset(usb_dev_handle* dev) {
  fakeusb::Record("reset " + std::to_string(dev->board));
  if (Get().boards[static_cast<size_t>(dev->board)].reappearsAfterReset)
    ++Topo().resetsSinceScan;
  return 0;
}

struct usb_device* usb_device(usb_dev_handle* dev) {
  return Topo().devices[static_cast<size_t>(dev->board)].get();
}

int usb_control_msg(usb_dev_handle* dev, int requesttype, int request, int value, int index,
                    char* bytes, int size, int timeout) {
  fakeusb::Transfer t{dev->board, requesttype, request, value, index, size, timeout, {}};
  if ((requesttype & 0x80) == 0 && bytes != nullptr)
    t.out.assign(reinterpret_cast<uint8_t*>(bytes), reinterpret_cast<uint8_t*>(bytes) + size);
  fakeusb::Record("control " + std::to_string(dev->board) + " " + fakeusb::Hex(requesttype) + " " +
                  fakeusb::Hex(request));
  Get().transfers.push_back(t);
  if (Get().onTransfer) Get().onTransfer(t);
  const auto& replies = Get().boards[static_cast<size_t>(dev->board)].replies;
  auto it = replies.find(request);
  if (it == replies.end()) return -32;  // an unknown request stalls
  const fakeusb::Reply& reply = it->second;
  if ((requesttype & 0x80) != 0 && bytes != nullptr) {
    size_t n = std::min(reply.data.size(), static_cast<size_t>(std::max(size, 0)));
    if (!reply.data.empty()) memcpy(bytes, reply.data.data(), n);
  }
  return reply.result;
}

}  // extern "C"
