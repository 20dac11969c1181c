#pragma once

#include <atomic>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// Base of the toolkit's object threads. A derived class supplies Execute(), the thread's body,
// which should return soon after StopRequested() becomes true.
//
// Protocol: the owner starts the thread with Start() (or by hand: set starting_, call
// StartThread(Starter, this, 0, false, false, scheduler), store the handle), and stops it by
// calling RequestStop(), waking the body (for instance by pulsing the events it waits on) and
// calling Join(). The thread is detached from birth; Join polls every 100 ms instead of waiting on
// the platform. The owner must stop and join the thread before destroying the object: the
// destructor frees only the handle cell.
//
// Threading: each flag is written by one side (owner or thread) and read by the other; they are
// atomics, so the polling loops never race. Once the body has ended, Starter does not touch the
// object after setting the terminated flag.
class DODUDO_API KThread : public NonCopyable {
 public:
  KThread();
  virtual ~KThread();

  virtual void Execute() = 0;

  // Starts the body on a new thread with this object's scheduler. Returns the handle (also kept
  // by the object), null when no thread could be created.
  void* Start();
  // Waits until the thread has ended, polling every 100 ms, for at most timeoutMs (0xFFFFFFFF:
  // without limit). true when the platform reports that the thread no longer exists; false on
  // timeout, and (with a Trace line) when the thread was never started or has already reported
  // its end through its terminated flag. Owners need not depend on the result.
  bool Join(unsigned int timeoutMs);

  void RequestStop() { stopRequested_ = true; }
  bool StopRequested() const { return stopRequested_; }
  bool IsRunning() const { return running_; }
  bool IsStarting() const { return starting_; }
  bool IsTerminated() const { return terminated_; }
  void SetScheduler(unsigned int scheduler) { scheduler_ = scheduler; }
  unsigned int GetScheduler() const { return scheduler_; }
  void* GetHandle() const { return handle_; }

  // Creates a detached thread running routine(argument) and returns its handle, a heap cell with
  // the thread id (free it with CloseThreadHandle), or null when releaseHandle is true or no thread
  // could be created. scheduler 0 is the default scheduling; 1..4 asks for that policy at priority
  // 1, which needs root: otherwise a Warning is logged and the default is used. 5 or more is
  // refused with a Warning (the root test comes first). Explicit scheduling that the platform
  // refuses all the same falls back to the default. The third and fourth arguments are unused.
  static void* StartThread(KThreadRoutine routine, void* argument, int, bool, bool releaseHandle,
                           unsigned int scheduler);
  static void* StartThread(void* routine, void* argument, int, bool, bool releaseHandle,
                           unsigned int scheduler);
  // The routine of object threads: logs the start, runs Execute() and logs how it ended. No
  // exception escapes it.
  static void* Starter(void* thread);
  // Ends the calling thread.
  [[noreturn]] static void Exit();
  // Frees a handle cell; null is ignored.
  static void CloseThreadHandle(void* handle);
  // Priority level 0..5 of the thread in the cell (null: the calling thread).
  static int GetPriority(void* handle);
  // As KHostSystem::ThreadSetPriority; always true.
  static bool SetPriority(void* handle, int level, int unused);
  static bool SetPriority(int level);

 protected:
  void* handle_;
  std::atomic<bool> running_;
  std::atomic<bool> starting_;
  std::atomic<unsigned int> scheduler_;
  std::atomic<bool> stopRequested_;
  std::atomic<bool> terminated_;
};

}  // namespace dodudo
