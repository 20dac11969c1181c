#include "DOdudo/KLogger.h"

int main() {
  KLogger log(klogSystem, -1, "EXAMPLE", "example", 0, false);  // /var/log/tolma/example.log
  log.Info("started, %d boards left alone", 0);                 // also copied to messages.log
  log.Trace("trace lines pass the klog.cfg filter of source %s", "System");
}
