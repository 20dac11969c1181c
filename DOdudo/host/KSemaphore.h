#pragma once

#include <string>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// A counting semaphore, either private to the process (with a maximum count) or a named system
// semaphore shared between processes (whose maximum is recorded but not enforced).
// Owns its handle. Wait and Release may be called from any thread at once.
class DODUDO_API KSemaphore : public NonCopyable {
 public:
  // Process-local, count 0, at most maximum (a maximum above INT_MAX counts as INT_MAX).
  explicit KSemaphore(unsigned int maximum);
  // Named (a POSIX name such as "/snl-ready"), initial value 0, permissions 0664. With create,
  // the name is made anew (an existing one is removed first) and this object owns it: the name is
  // removed when the object is destroyed. Without create, the name is opened, and made when
  // missing. A name that cannot be opened leaves a semaphore on which every Wait fails.
  KSemaphore(std::string name, unsigned int maximum, bool create);
  virtual ~KSemaphore();

  // Takes a unit, waiting at most timeoutMs (0xFFFFFFFF: without limit). false on timeout or error.
  virtual bool Wait(unsigned int timeoutMs);
  // Adds a unit (a local semaphore stays at its maximum) and wakes the waiters. false on error.
  virtual bool Release();

  bool IsNamed() const { return named_; }
  const std::string& Name() const { return name_; }

 private:
  bool named_;
  std::string name_;
  unsigned int maximum_;
  void* handle_;
  bool owner_;
};

}  // namespace dodudo
