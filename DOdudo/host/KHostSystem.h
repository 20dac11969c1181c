#pragma once

#include <cstdio>

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

  // fgets, with a CR LF ending turned into a single LF. buffer always starts as "". Null at end.
  static char* ReadLine(char* buffer, int size, FILE* file);
  static int StriCmp(const char* a, const char* b);
  // Trims white space in place; returns its argument (null gives null).
  static char* StrTrim(char* text);
};
