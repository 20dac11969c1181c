#pragma once

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// An event private to the process. A pulse wakes every thread waiting at that moment, or, when
// nobody waits, stays latched for the next single wait; every wait that returns clears it.
// Owns its KHostSystem event handle. Pulse and Wait may be called from any thread at once.
class DODUDO_API KSystemEvent : public NonCopyable {
 public:
  // The name is ignored.
  explicit KSystemEvent(const char* name = nullptr);
  ~KSystemEvent();

  void Pulse();
  // true only when signalled; timeout, error and clock failure give false. 0xFFFFFFFF waits
  // without limit.
  bool Wait(unsigned int timeoutMs);

 private:
  void* handle_;
};

}  // namespace dodudo
