#include "snl/BoardPlaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "snl/SnlUsbProtocol.h"

namespace snlusb {

namespace {

constexpr const char* kSysfsDevices = "/sys/bus/usb/devices";

// Reads a small sysfs attribute and parses it in base; -1 when absent or not a number.
long ReadNumber(const std::string& directory, const char* name, int base) {
  const int fd = open((directory + "/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  char text[32];
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  char* end = nullptr;
  const long value = strtol(text, &end, base);
  return end == text ? -1 : value;
}

// "1-4.2" -> {1, 4, 2}; empty for anything else (root hubs are "usb1", interfaces "1-4:1.0").
std::vector<int> ParsePortName(const char* name) {
  std::vector<int> port;
  const char* p = name;
  char separator = '-';
  for (;;) {
    if (*p < '0' || *p > '9') return {};
    char* end = nullptr;
    port.push_back(static_cast<int>(strtol(p, &end, 10)));
    p = end;
    if (*p == '\0') break;
    if (*p != separator) return {};
    separator = '.';
    ++p;
  }
  return port.size() >= 2 ? port : std::vector<int>{};
}

// The device's port as sysfs shows it: the entry with the same bus and device numbers and the
// same identity (so that a lookup can never pick another device).
std::vector<int> FindPort(const struct usb_device* device) {
  const long bus = strtol(device->bus->dirname, nullptr, 10);
  const long number = strtol(device->filename, nullptr, 10);
  DIR* dir = opendir(kSysfsDevices);
  if (dir == nullptr) return {};
  std::vector<int> found;
  while (const struct dirent* entry = readdir(dir)) {
    std::vector<int> port = ParsePortName(entry->d_name);
    if (port.empty() || port[0] != bus) continue;
    const std::string path = std::string(kSysfsDevices) + "/" + entry->d_name;
    const usb_device_descriptor& d = device->descriptor;
    if (ReadNumber(path, "busnum", 10) == bus && ReadNumber(path, "devnum", 10) == number &&
        ReadNumber(path, "idVendor", 16) == d.idVendor &&
        ReadNumber(path, "idProduct", 16) == d.idProduct &&
        ReadNumber(path, "bcdDevice", 16) == d.bcdDevice) {
      found = std::move(port);
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

std::vector<std::pair<struct usb_device*, BoardPlace>> BoardsInPortOrder(struct usb_bus* busses) {
  std::vector<std::pair<struct usb_device*, BoardPlace>> boards;
  for (struct usb_bus* bus = busses; bus != nullptr; bus = bus->next) {
    for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next) {
      if (!IsWatchdogBoard(dev)) continue;
      BoardPlace place{FindPort(dev), std::string(bus->dirname) + "/" + dev->filename};
      boards.emplace_back(dev, std::move(place));
    }
  }
  std::stable_sort(boards.begin(), boards.end(), [](const auto& a, const auto& b) {
    const std::vector<int>& pa = a.second.port;
    const std::vector<int>& pb = b.second.port;
    if (pa.empty() || pb.empty()) return !pa.empty() && pb.empty();
    return pa < pb;
  });
  return boards;
}

bool ParseBoardSelection(const char* text, std::vector<int>* indexes) {
  indexes->clear();
  // Set but empty (SNL_BOARDS=$UNSET_VARIABLE) is a mistake, not a wish for every board.
  if (text == nullptr) return true;
  for (const char* p = text;;) {
    int value = 0;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p - '0');
      if (value > kMaxBoardIndex) return false;
      ++p;
    }
    if (p == digits) return false;
    indexes->push_back(value);
    if (*p == '\0') return true;
    if (*p != ',') return false;
    ++p;
  }
}

}  // namespace snlusb
