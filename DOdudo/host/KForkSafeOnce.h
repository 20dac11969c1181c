#pragma once

#include <pthread.h>

#include "DOdudo/host/KRetained.h"

namespace dodudo {

// An object made on first use and never deleted, like a function-local `static T* p = Make();`,
// but made through pthread_once: should a fork happen while another thread is making it, glibc
// lets the child make it anew, where a static's guard would stay taken in the child for ever and
// hang every thread of the child that uses it (the loggers of the toolkit's own threads).
template <typename T, T* (*Make)()>
class KForkSafeOnce {
 public:
  static T& Get() {
    pthread_once(&once_, [] { value_ = KRetained(Make); });
    return *value_;
  }

 private:
  static inline pthread_once_t once_ = PTHREAD_ONCE_INIT;
  static inline T* value_ = nullptr;
};

}  // namespace dodudo
