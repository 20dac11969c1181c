// Discovery: the part of the controller that finds, resets and adopts boards while the library
// loads. It runs on the loading thread before any exported call can run, so it takes no lock of
// the controller (the VPD accessors it calls take their own).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KHostSystem.h"
#include "snl/BoardPlaces.h"
#include "snl/SNLKVAInternal.h"
#include "snl/SentrelController.h"
#include "snl/SnlUsbProtocol.h"

using namespace snlusb;

namespace {

constexpr int kSettleCycles = 20;
constexpr unsigned int kSettleCycleMs = 250;
constexpr unsigned int kFinalSettleMs = 1000;

const char kNoDevices[] = "No snlusb devices found";
const char kSelectionVariable[] = "SNL_BOARDS";

// The start of a refused selection as the log shows it: any user can set the variable, so its
// text is bounded and cannot forge or break up log lines.
std::string Quoted(const char* text) {
  constexpr size_t kShown = 64;
  std::string shown;
  for (const char* p = text; *p != '\0'; ++p) {
    if (shown.size() == kShown) return shown + "...";
    const unsigned char c = static_cast<unsigned char>(*p);
    shown += c < 0x20 || c >= 0x7f ? '?' : static_cast<char>(c);
  }
  return shown;
}

}  // namespace

void SentrelController::SeachDevices() {
  if (searchInhibit_) return;
  struct usb_bus* busses = usb_get_busses();
  if (busses != nullptr) {
    // Someone in this process initialised libusb already: count the buses it knows.
    for (struct usb_bus* bus = busses; bus != nullptr; bus = bus->next) ++busCount_;
  } else {
    usb_init();
    busCount_ = usb_find_busses();
  }
  if (busCount_ > 0) {
    usb_find_devices();
    if (usb_get_busses() != nullptr) {
      const BoardChoice choice = ChooseBoards();
      int pending = ResetPass(choice);
      if (pending > 0) {
        Settle(pending);
        if (AdoptBoards(choice)) return;
      }
    }
  }
  SetErrorStr(kNoDevices);
}

// Every board, or the boards SNL_BOARDS names by their index in port order. The variable is
// ignored in a set-user-ID program, whose caller must not hide boards from it.
BoardChoice SentrelController::ChooseBoards() {
  BoardChoice choice;
  const char* text = secure_getenv(kSelectionVariable);
  std::vector<int> indexes;
  if (!ParseBoardSelection(text, &indexes)) {
    // Falling back to every board could reset a board another process keeps alive.
    logger_.Error("%s=\"%s\" is not a list of board indexes: no board is used", kSelectionVariable,
                  Quoted(text).c_str());
    choice.every = false;
    return choice;
  }
  if (indexes.empty()) return choice;
  choice.every = false;
  const auto boards = BoardsInPortOrder(usb_get_busses());
  for (int index : indexes) {
    if (static_cast<size_t>(index) < boards.size()) {
      if (!choice.Has(boards[static_cast<size_t>(index)].second))
        choice.places.push_back(boards[static_cast<size_t>(index)].second);
    } else {
      logger_.Notice("%s names board %d, but %zu boards are on the bus", kSelectionVariable, index,
                     boards.size());
    }
  }
  return choice;
}

// Resets every chosen board under configuration 0; a board that cannot be opened is skipped
// silently. Returns the number of boards reset.
//
// usbfs refuses the deconfiguration with EBUSY while an interface of the board is claimed, which
// on a watchdog board means another process has adopted it (and may be keeping it alive): such a
// board is left alone, neither reset nor counted, and the adoption pass then finds it busy too.
int SentrelController::ResetPass(const BoardChoice& choice) {
  int pending = 0;
  for (const auto& [dev, place] : BoardsInPortOrder(usb_get_busses())) {
    if (!choice.Has(place)) continue;
    usb_dev_handle* handle = usb_open(dev);
    if (handle == nullptr) continue;
    if (usb_set_configuration(handle, kConfigurationIdle) == -EBUSY) {
      usb_close(handle);
      continue;
    }
    usb_reset(handle);
    usb_close(handle);
    ++pending;
  }
  return pending;
}

// A reset board drops off the bus and comes back under a new address; libusb reports both as
// device changes. Wait until as many changes as boards were seen (at most 20 cycles), then give
// the boards a last second before rescanning.
void SentrelController::Settle(int pending) {
  for (int cycle = 0; cycle < kSettleCycles; ++cycle) {
    KHostSystem::Delay(kSettleCycleMs);
    usb_find_busses();
    pending -= usb_find_devices();
    if (pending < 1) break;
  }
  KHostSystem::Delay(kFinalSettleMs);
  usb_find_busses();
  usb_find_devices();
}

// Walks the rescanned buses in port order and adopts every chosen board that passes; true when at
// least one did.
bool SentrelController::AdoptBoards(const BoardChoice& choice) {
  struct usb_bus* busses = usb_get_busses();
  if (busses == nullptr) return false;
  int adopted = 0;
  for (const auto& [dev, place] : BoardsInPortOrder(busses))
    if (choice.Has(place) && AdoptBoard(dev)) ++adopted;
  return adopted > 0;
}

// Opens, configures, checks and reads one board. Every rejection closes the handle and frees the
// record before the next device is looked at, so one bad board never stops the others.
bool SentrelController::AdoptBoard(struct usb_device* device) {
  std::unique_ptr<SNLDevice> board(new SNLDevice());
  board->handle = usb_open(device);
  usb_dev_handle* handle = board->handle;
  if (handle == nullptr) {
    SetErrorStr("SNLusb device could not be initialized");
    return false;
  }
  if (usb_set_configuration(handle, kConfigurationActive) < 0) {
    usb_close(handle);
    SetErrorStr("Error setting configuration of snlusb device");
    return false;
  }
  if (usb_claim_interface(handle, kInterface) < 0) {
    usb_close(handle);
    SetErrorStr("Error establishing interface connection with snlusb device");
    return false;
  }
  if (PingDevice(board.get(), kCommandTimeoutMs) != 0) {
    SetErrorStr("Error checking snlusb firmware");
    usb_close(handle);
    return false;
  }
  int size = 0;
  std::unique_ptr<unsigned char[]> image;
  try {
    image.reset(StartDeviceVPD(board.get(), &size));
  } catch (const KBaseException& e) {
    logger_.Error("%s", e.what());
    usb_close(handle);
    return false;
  }
  if (size > SNLDevice::kVpdCapacity - 1 || size < 0) {
    image.reset();
    SetErrorStr("Error reading vpd from snlusb device");
    usb_close(handle);
    return false;
  }
  memcpy(board->vpd, image.get(), static_cast<size_t>(size));
  image.reset();
  if (SNLKVAInternal::kva2GetBoardType(KVPD_TYPE_22, board->vpd) != 0) {
    usb_close(handle);  // another kind of board behind the same identity: dropped silently
    return false;
  }
  devices_.push_back(board.release());
  return true;
}
