#include "InstantUsb.h"

#include <cstring>

namespace {
// The board: vendor 0x5A1C, product 0x6000, device release 0x000F.
struct usb_device g_device;
usb_bus g_bus;
bool g_initialised = false;

void Build() {
  if (g_initialised) return;
  g_initialised = true;
  std::memset(&g_device, 0, sizeof g_device);
  std::memset(&g_bus, 0, sizeof g_bus);
  std::strcpy(g_bus.dirname, "001");
  std::strcpy(g_device.filename, "002");
  g_device.descriptor.idVendor = 0x5A1C;
  g_device.descriptor.idProduct = 0x6000;
  g_device.descriptor.bcdDevice = 0x000F;
  g_device.bus = &g_bus;
  g_bus.devices = &g_device;
}

// Vendor requests of the board.
constexpr int kVpdRead = 0x32, kFirmwareCheck = 0x33, kStart = 0x64, kStop = 0x65,
              kStatus = 0x66, kConfigure = 0x67;
}  // namespace

struct usb_dev_handle {
  struct usb_device* device;
};

namespace {
usb_dev_handle g_handle{&g_device};
}

namespace snlbench {
usb_dev_handle* InstantBoardHandle() {
  Build();
  return &g_handle;
}
}  // namespace snlbench

extern "C" {
void usb_init(void) { Build(); }
int usb_find_busses(void) { return 1; }
// Every scan reports one change, so discovery's settle loop ends after its first cycle.
int usb_find_devices(void) { return 1; }
usb_bus* usb_get_busses(void) { return g_initialised ? &g_bus : nullptr; }
usb_dev_handle* usb_open(struct usb_device*) { return &g_handle; }
int usb_close(usb_dev_handle*) { return 0; }
int usb_set_configuration(usb_dev_handle*, int) { return 0; }
int usb_claim_interface(usb_dev_handle*, int) { return 0; }
int usb_release_interface(usb_dev_handle*, int) { return 0; }
int usb_reset(usb_dev_handle*) { return 0; }
struct usb_device* usb_device(usb_dev_handle* h) { return h->device; }
char* usb_strerror(void) { return const_cast<char*>("instant board"); }

int usb_control_msg(usb_dev_handle*, int, int request, int, int, char* bytes, int size, int) {
  switch (request) {
    case kFirmwareCheck:
      bytes[0] = 'X';
      return 1;
    case kVpdRead:
      // All-zero fields (board type 0, so the board is adopted) with the matching checksum.
      std::memset(bytes, 0, static_cast<size_t>(size));
      bytes[11] = static_cast<char>(0xE9);
      bytes[12] = static_cast<char>(0xC0);
      return size;
    case kStatus:
      bytes[0] = 0x01;
      return 1;
    case kStart:
    case kStop:
      return 0;
    case kConfigure:
      return 2;
    default:
      return -22;
  }
}
}  // extern "C"
