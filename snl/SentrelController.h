#pragma once

#include <atomic>
#include <vector>

#include "DOdudo/KLogger.h"
#include "snl/BoardPlaces.h"
#include "snl/SNLDevice.h"

// The process-wide watchdog controller. Its constructor finds, resets, checks and adopts every
// board on the USB buses (or those SNL_BOARDS names, see BoardPlaces.h), in port order (blocking up to about six seconds when boards are present); its
// destructor deconfigures and closes them, sending no watchdog command.
//
// Threading: every operation except SetDebug serialises on one recursive lock held across the
// USB transfer. SetDebug writes the debug flag without it; a command running at that moment may
// see either value. No operation throws: failures are results and log lines.
class SentrelController {
 public:
  SentrelController();
  ~SentrelController();
  SentrelController(const SentrelController&) = delete;
  SentrelController& operator=(const SentrelController&) = delete;

  // Discovery: appends every adopted board to the device list and logs every rejection.
  void SeachDevices();
  // Firmware check: 0 when the board answers 'X', 1 for a null board or no single byte back,
  // 4 for any other byte.
  int PingDevice(SNLDevice* board, int timeout);
  // Reads the board's VPD image (new[]; the caller delete[]s it) and stores its length in *size.
  // Throws KBaseException on failure.
  unsigned char* StartDeviceVPD(SNLDevice* board, int* size);
  // Marks the board stopped, sets configuration 0 and closes it. Null is ignored.
  void StopDevice(SNLDevice* board);
  void SetErrorStr(const char* text);

  int GetDevCount();
  int GetDevSerial(int index);
  int GetDevLinks(int index);
  int StartWatch(int index);
  int StopWatch(int index);
  int PingWatch(int index);
  int GetDeviceStatus(int index);
  int Configure(int index, unsigned char time, unsigned char links);
  void SetDebug(unsigned char flag) { debug_.store(flag != 0, std::memory_order_relaxed); }

 private:
  // The board at index when it exists and is not stopped, else null. Caller holds the lock.
  SNLDevice* ValidBoard(int index);
  snlusb::BoardChoice ChooseBoards();
  int ResetPass(const snlusb::BoardChoice& choice);
  void Settle(int pending);
  bool AdoptBoards(const snlusb::BoardChoice& choice);
  bool AdoptBoard(struct usb_device* device);
  bool Debug() const { return debug_.load(std::memory_order_relaxed); }

  void* lock_;
  std::vector<SNLDevice*> devices_;
  int busCount_;
  bool searchInhibit_;
  std::atomic<bool> debug_;
  KLogger logger_;
};
