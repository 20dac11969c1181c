#include "EmulatedBus.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <stdexcept>

struct EmulatedBus::Board {
  EmulatedBus* bus;
  int index;
  BoardScenario scenario;
  int devnum = 0;
  std::string sysfs;
  std::string node;
  int answered = 0;  // vendor requests answered so far
  bool present = false;
  std::vector<UMockdevIoctlBase*> handlers;
  // Open device files (umockdev clients) holding an interface claim. As usbfs does, a claim ends
  // with its release, with the closing of the file that took it, or with the device's reset.
  std::set<UMockdevIoctlClient*> claimants;
};

namespace {

// Upper-case hex: the testbed's record parser takes nothing else for node contents.
std::string Hex(const uint8_t* data, size_t n) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(byte, sizeof byte, "%02X", data[i]);
    out += byte;
  }
  return out;
}

std::vector<uint8_t> DeviceDescriptor(const BoardScenario& s) {
  return {0x12, 0x01, 0x10, 0x01, 0xFF, 0x00, 0x00, 0x08,
          static_cast<uint8_t>(s.vendor), static_cast<uint8_t>(s.vendor >> 8),
          static_cast<uint8_t>(s.product), static_cast<uint8_t>(s.product >> 8),
          static_cast<uint8_t>(s.release), static_cast<uint8_t>(s.release >> 8),
          0x00, 0x00, 0x00, 0x01};
}

// One configuration (value 1) with one vendor-specific interface and no endpoints beyond ep0.
std::vector<uint8_t> ConfigDescriptor() {
  return {0x09, 0x02, 0x12, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
          0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
}

}  // namespace

EmulatedBus::EmulatedBus(const std::vector<BoardScenario>& boards, FILE* record)
    : testbed_(umockdev_testbed_new()), record_(record) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (size_t i = 0; i < boards.size(); ++i) {
    auto board = std::make_unique<Board>();
    board->bus = this;
    board->index = static_cast<int>(i);
    board->scenario = boards[i];
    Plug(*board);
    boards_.push_back(std::move(board));
  }
}

EmulatedBus::~EmulatedBus() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  for (auto& board : boards_)
    for (UMockdevIoctlBase* handler : board->handlers) g_object_unref(handler);
  g_object_unref(testbed_);
}

// Adds the board under a fresh device number: libusb-0.1 tells devices apart by node name only.
void EmulatedBus::Plug(Board& board) {
  const BoardScenario& s = board.scenario;
  board.devnum = nextDevnum_++;
  char name[64];
  snprintf(name, sizeof name, "bus/usb/001/%03d", board.devnum);
  board.node = std::string("/dev/") + name;
  // Boards sit on root-hub ports 1, 2, ... in scenario order; like a real board, one that
  // enumerates again keeps its port and gets a new device number.
  board.sysfs = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(board.index + 1);
  std::vector<uint8_t> contents = DeviceDescriptor(s);
  std::vector<uint8_t> config = ConfigDescriptor();
  contents.insert(contents.end(), config.begin(), config.end());
  char attrs[512];
  snprintf(attrs, sizeof attrs,
           "E: DEVNAME=%s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
           "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\nA: busnum=1\nA: devnum=%d\n",
           board.node.c_str(), s.vendor, s.product, s.release, board.devnum);
  std::string text = "P: " + board.sysfs.substr(4) + "\nN: " + name + "=" +
                     Hex(contents.data(), contents.size()) + "\n" + attrs;
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
    std::string what = error != nullptr ? error->message : "add_from_string failed";
    g_clear_error(&error);
    throw std::runtime_error(what);
  }
  UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&EmulatedBus::OnIoctl), &board);
  g_signal_connect(handler, "client-vanished", G_CALLBACK(&EmulatedBus::OnClientVanished), &board);
  if (!umockdev_testbed_attach_ioctl(testbed_, board.node.c_str(), handler, &error)) {
    std::string what = error != nullptr ? error->message : "attach_ioctl failed";
    g_clear_error(&error);
    g_object_unref(handler);
    throw std::runtime_error(what);
  }
  board.handlers.push_back(handler);
  board.present = true;
}

// Removing the device record leaves its node in the testbed's /dev: unlink it too, or libusb
// would still list the old address.
void EmulatedBus::Unplug(Board& board) {
  umockdev_testbed_remove_device(testbed_, board.sysfs.c_str());
  GError* error = nullptr;
  umockdev_testbed_detach_ioctl(testbed_, board.node.c_str(), &error);
  g_clear_error(&error);
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  unlink((std::string(root) + board.node).c_str());
  g_free(root);
  board.present = false;
  board.claimants.clear();
}

void EmulatedBus::Record(const Board& board, const std::string& text) {
  if (record_ == nullptr) return;
  fprintf(record_, "board=%d %s\n", board.index, text.c_str());
  fflush(record_);
}

gboolean EmulatedBus::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Board& board = *static_cast<Board*>(data);
  std::lock_guard<std::recursive_mutex> guard(board.bus->lock_);
  return board.bus->Handle(board, client);
}

void EmulatedBus::OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  Board& board = *static_cast<Board*>(data);
  std::lock_guard<std::recursive_mutex> guard(board.bus->lock_);
  board.claimants.erase(client);
}

namespace {

// The ioctl argument is the client's pointer; this fetches the len bytes it points to (owned
// reference, null when the client's memory cannot be read).
UMockdevIoctlData* Pointee(UMockdevIoctlClient* client, size_t len) {
  GError* error = nullptr;
  UMockdevIoctlData* data =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, len, &error);
  g_clear_error(&error);
  return data;
}

}  // namespace

gboolean EmulatedBus::Handle(Board& board, UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  const BoardScenario& s = board.scenario;
  if (request == USBDEVFS_CONNECTINFO) {
    UMockdevIoctlData* arg = Pointee(client, sizeof(usbdevfs_connectinfo));
    if (arg == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    auto* info = reinterpret_cast<usbdevfs_connectinfo*>(arg->data);
    info->devnum = static_cast<unsigned int>(board.devnum);
    info->slow = 0;
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(arg);
  } else if (request == USBDEVFS_IOCTL) {
    umockdev_ioctl_client_complete(client, -1, ENOSYS);  // not a hub
  } else if (request == USBDEVFS_CONTROL) {
    Control(board, client);
  } else if (request == USBDEVFS_SETCONFIGURATION || request == USBDEVFS_CLAIMINTERFACE ||
             request == USBDEVFS_RELEASEINTERFACE) {
    unsigned int value = 0;
    if (UMockdevIoctlData* arg = Pointee(client, sizeof value)) {
      memcpy(&value, arg->data, sizeof value);
      g_object_unref(arg);
    }
    int err = 0;
    if (request == USBDEVFS_SETCONFIGURATION) {
      // The kernel's rule: no configuration change while any interface is claimed.
      if (!board.claimants.empty() || (value == 1 && s.refuseConfiguration)) err = EBUSY;
    } else if (request == USBDEVFS_CLAIMINTERFACE) {
      if (s.refuseClaim || (!board.claimants.empty() && board.claimants.count(client) == 0))
        err = EBUSY;
      else
        board.claimants.insert(client);
    } else {
      board.claimants.erase(client);
    }
    const char* name = request == USBDEVFS_SETCONFIGURATION ? "SETCONFIGURATION"
                       : request == USBDEVFS_CLAIMINTERFACE ? "CLAIMINTERFACE"
                                                            : "RELEASEINTERFACE";
    Record(board, std::string(name) + " " + std::to_string(value) + " -> " +
                      (err != 0 ? std::to_string(-err) : "0"));
    umockdev_ioctl_client_complete(client, err != 0 ? -1 : 0, err);
  } else if (request == USBDEVFS_RESET) {
    Record(board, "RESET -> 0");
    umockdev_ioctl_client_complete(client, 0, 0);
    // A real board drops off the bus and enumerates again under a new address.
    if (s.reset != BoardScenario::Reset::kStay && board.present) {
      Unplug(board);
      if (s.reset == BoardScenario::Reset::kReappear) Plug(board);
    }
  } else {
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
  }
  return TRUE;
}

void EmulatedBus::Control(Board& board, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = Pointee(client, sizeof(usbdevfs_ctrltransfer));
  if (arg == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  usbdevfs_ctrltransfer ctrl;
  memcpy(&ctrl, arg->data, sizeof ctrl);
  const BoardScenario& s = board.scenario;
  const bool in = (ctrl.bRequestType & 0x80) != 0;
  UMockdevIoctlData* buffer = nullptr;
  if (ctrl.wLength > 0 && ctrl.data != nullptr) {
    GError* error = nullptr;
    buffer = umockdev_ioctl_data_resolve(arg, offsetof(usbdevfs_ctrltransfer, data),
                                         ctrl.wLength, &error);
    g_clear_error(&error);
  }
  std::vector<uint8_t> answer;
  int err = 0;
  if (ctrl.bRequestType == 0x80 && ctrl.bRequest == 6) {  // standard GET_DESCRIPTOR
    answer = (ctrl.wValue >> 8) == 1 ? DeviceDescriptor(s) : ConfigDescriptor();
  } else if ((ctrl.bRequestType & 0x60) != 0x40) {
    err = EPIPE;
  } else if (s.unplugAfter >= 0 && board.answered >= s.unplugAfter) {
    err = ENODEV;
  } else if (s.failures.count(ctrl.bRequest) != 0) {
    err = s.failures.at(ctrl.bRequest);
  } else {
    switch (ctrl.bRequest) {
      case 0x32: answer.assign(s.vpd.begin(), s.vpd.begin() + s.vpdLength); break;
      case 0x33: if (s.firmware >= 0) answer.push_back(static_cast<uint8_t>(s.firmware)); break;
      case 0x66: answer.push_back(s.status); break;
      case 0x64: case 0x65: case 0x67: break;
      default: err = EPIPE;
    }
  }
  if ((ctrl.bRequestType & 0x60) == 0x40) ++board.answered;
  if (err == ETIMEDOUT) g_usleep(static_cast<gulong>(ctrl.timeout ? ctrl.timeout : 5000) * 1000);
  long result;
  std::string data;
  if (err != 0) {
    result = -err;
  } else if (in) {
    if (answer.size() > ctrl.wLength) answer.resize(ctrl.wLength);
    if (buffer != nullptr && !answer.empty()) memcpy(buffer->data, answer.data(), answer.size());
    result = static_cast<long>(answer.size());
    data = Hex(answer.data(), answer.size());
  } else {
    result = ctrl.wLength;
    if (buffer != nullptr) data = Hex(buffer->data, static_cast<size_t>(buffer->data_len));
  }
  char line[160];
  snprintf(line, sizeof line, "CONTROL %02x %02x value=%u index=%u length=%u timeout=%u -> %ld",
           ctrl.bRequestType, ctrl.bRequest, ctrl.wValue, ctrl.wIndex, ctrl.wLength, ctrl.timeout,
           result);
  Record(board, std::string(line) + (data.empty() ? "" : " data=" + data));
  umockdev_ioctl_client_complete(client, err != 0 ? -1 : result, err);
  if (buffer != nullptr) g_object_unref(buffer);
  g_object_unref(arg);
}
