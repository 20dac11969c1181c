#pragma once

#include "DOdudo/host/KExport.h"

// The toolkit's operating-system layer: static operations over opaque handles.
class DODUDO_API KHostSystem {
 public:
  // Recursive mutex. The handle is owned by the caller and released with DeleteLocalMutex.
  static void* CreateLocalMutex();
  static void EnterLocalMutex(void* mutex);
  static int LeaveLocalMutex(void* mutex);
  static void DeleteLocalMutex(void* mutex);

  // Sleeps ms milliseconds, resuming after signals.
  static void Delay(unsigned int ms);
  // Monotonic milliseconds, wrapping at 2^32; 0 if the clock cannot be read.
  static unsigned int GetTick();
};
