#pragma once

#include <pthread.h>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KMutex.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// A recursive mutex: the thread that holds it may lock it again and must unlock it as often.
// Owns its heap-allocated pthread mutex. Any thread may lock it; destroying it while held is an
// error of the owner.
class DODUDO_API KThreadMutex : public KMutex, public NonCopyable {
 public:
  KThreadMutex();
  ~KThreadMutex() override;

  int Lock() override;
  int Unlock() override;

  // The underlying pthread mutex, for code that locks it directly (log writers); owned here.
  pthread_mutex_t* GetMutex() const { return mutex_; }

 private:
  pthread_mutex_t* mutex_;
};

}  // namespace dodudo
