#pragma once

#include <atomic>
#include <vector>

#include "DOdudo/KLogDefs.h"
#include "DOdudo/host/KExport.h"

// One pending timer.
struct DODUDO_API TimerCell {
  unsigned int id;   // never 0
  unsigned int due;  // tick at creation plus the delay, wrapping at 2^32
  void* argument;    // handed to the callback
  void (*callback)(void* argument);
  bool flag;  // the tick epoch in which the due tick lies
};

// Firing order: cells of the epoch flag false first, then those of the flag true, each group by
// due tick. Ordering by the flag first makes the order total (a multiset needs a strict weak
// ordering); which group is the current epoch changes at every wrap, so the timer thread looks
// into both groups. Cells with equal keys keep their insertion (start) order.
struct DODUDO_API TimerCellCompare {
  bool operator()(const TimerCell& a, const TimerCell& b) const {
    if (a.flag != b.flag) return !a.flag;
    return a.due < b.due;
  }
};

// Process-wide one-shot timers. startTimer asks for callback(argument) after a delay in
// milliseconds and returns an id with which stopTimer cancels the timer before it fires. One
// thread wakes every 25 ms, collects the due timers under the lock and calls them after releasing
// it, in due order (timers due at the same tick in start order).
//
// The 32-bit millisecond tick wraps every 2^32 ms: each timer carries the epoch flag of its due
// tick, and the thread flips the current epoch whenever it sees the tick go backwards.
//
// Lifecycle: instance() creates the object and starts the service; stop() ends the thread for good
// (pending timers are dropped uncalled; startTimer and stopTimer then refuse work); destroy()
// deletes the object, not the service. Nothing here throws except memory exhaustion.
//
// Fork: a child gets a running service with no pending timer (the parent keeps firing its own, as
// with alarm() and timer_create()); its thread, which fork does not copy, starts at the child's
// first startTimer. A fork while the thread holds the lock cannot leave the child stuck: the
// at-fork handlers hold the service still across the fork and give the child fresh locks.
//
// Threading: every operation may be called from any thread, including from inside a callback.
// The collections and the tick state are guarded by m_mutex; callbacks run without it.
class DODUDO_API TimerManager {
 public:
  static constexpr unsigned int INVALID_TIMER_ID = 0;

  virtual ~TimerManager();

  // The singleton; the first call creates it and starts the service. Concurrent first calls are
  // serialised: all of them get the same object.
  static TimerManager* instance();
  // Deletes the singleton (only the id counter); pending timers and the thread stay.
  static void destroy();
  // Creates the lock and the events and starts the timer thread; true when the service runs (also
  // when it ran already or was stopped: stopping is final and start() never restarts it).
  static bool start();
  // Ends the timer thread, waiting at most 1000 ms for it. false when the service never started,
  // is already stopping, or the thread did not end in time (it then stays shutting down).
  // Called from a callback it can only time out, since its own thread is the one to end.
  static bool stop();

  // The id of the new timer (1, 2, 3, ... never 0 and never that of a pending timer), or
  // INVALID_TIMER_ID while shutting down, before the service runs, or for a null callback.
  unsigned int startTimer(unsigned int delayMs, void* argument, void (*callback)(void* argument));
  // Cancels a pending timer and returns its argument so that the caller can release it; null for
  // id 0, while shutting down, or when no such timer is pending (it fired, or was collected to
  // fire: such a timer still fires).
  void* stopTimer(unsigned int id);

  // Logs to "<executable>.dodudo.log" through the "TIMER" logger.
  static void Log(KLogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

 public:
  // At-fork handlers (registered with dodudo::KAtFork when the library loads); not for callers.
  static void forkPrepare(void* unused);
  static void forkParent(void* unused);
  static void forkChild(void* unused);

 private:
  // The ordered multiset of pending cells under TimerCellCompare, and the map from id to a cell.
  struct TimerList;
  struct TimerIdList;

  TimerManager();
  TimerManager(const TimerManager&) = delete;
  TimerManager& operator=(const TimerManager&) = delete;

  // start() with g_lifecycleLock held.
  static bool startLocked();
  // In a forked child: starts the thread fork did not copy; false when it cannot be started.
  static bool restartThread();

  static void* timerThreadStarter(void* terminationEvent);
  static void timerThread();
  // One pass of the thread: flips the epoch on a wrap and moves the due cells to `fired`.
  static void collectDue(std::vector<TimerCell>& fired);

  unsigned int m_nextId;  // guarded by m_mutex

  static std::atomic<TimerManager*> m_instance;
  // Created by start() and kept until the process ends, so that a startTimer racing with stop()
  // never enters a freed lock.
  static std::atomic<void*> m_mutex;
  static void* m_shutDownEvent;
  static void* m_timerThread_WaitTermination;
  static unsigned long m_timerThread;
  static std::atomic<bool> m_bShuttingDown;
  static unsigned int m_lastTick;  // guarded by m_mutex
  static bool m_flag;              // guarded by m_mutex
  // Allocated by start() and never freed: the detached thread may still run at process exit.
  static TimerList* m_timerList;      // guarded by m_mutex
  static TimerIdList* m_timerIdList;  // guarded by m_mutex
};
