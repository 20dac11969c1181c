// The exported C interface: nine functions forwarding to the one controller of the process.
#include "snl/snl.h"

#include "DOdudo/host/KInitOrder.h"
#include "snl/SentrelController.h"

namespace {
// Built by the library's static initialiser (discovery runs while the library loads) after the
// toolkit's static objects, and destroyed before them when the library is unloaded or the process
// exits.
SentrelController SNLControl SNL_INIT_CONTROLLER;
}  // namespace

extern "C" {

int snlDevCount(void) { return SNLControl.GetDevCount(); }
int snlDevSerial(int device) { return SNLControl.GetDevSerial(device); }
int snlDevLinks(int device) { return SNLControl.GetDevLinks(device); }
int snlStartWatch(int device) { return SNLControl.StartWatch(device); }
int snlStopWatch(int device) { return SNLControl.StopWatch(device); }
int snlPingWatch(int device) { return SNLControl.PingWatch(device); }
int snlStatus(int device) { return SNLControl.GetDeviceStatus(device); }
int snlConfigure(int device, unsigned char time, unsigned char links) {
  return SNLControl.Configure(device, time, links);
}
void snlDebugLog(unsigned char flag) { SNLControl.SetDebug(flag); }

}  // extern "C"
