#include "DOdudo/TimerManager.h"

#include <cstdarg>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <set>
#include <tuple>
#include <unordered_map>

#include "DOdudo/KLogger.h"
#include "DOdudo/KRunningLog.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KForkSafeOnce.h"

namespace {

// Recycles the nodes of the timer collections: a start/stop pair would otherwise cost two
// allocations and two frees. Not thread-safe by itself: every container using it is guarded by
// TimerManager::m_mutex. Keeps at most kMaxFree nodes of each size for reuse.
template <typename T>
class NodePool {
 public:
  using value_type = T;
  NodePool() = default;
  template <typename U>
  NodePool(const NodePool<U>&) {}

  T* allocate(std::size_t n) {
    if (n != 1) return static_cast<T*>(::operator new(n * sizeof(T)));
    if (free_ == nullptr) return static_cast<T*>(::operator new(sizeof(Slot)));
    Slot* slot = free_;
    free_ = slot->next;
    --count_;
    return reinterpret_cast<T*>(slot);
  }
  void deallocate(T* p, std::size_t n) {
    if (n != 1 || count_ >= kMaxFree) return ::operator delete(p);
    Slot* slot = reinterpret_cast<Slot*>(p);
    slot->next = free_;
    free_ = slot;
    ++count_;
  }
  template <typename U>
  bool operator==(const NodePool<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const NodePool<U>&) const {
    return false;
  }

 private:
  static constexpr std::size_t kMaxFree = 1 << 16;
  union Slot {
    Slot* next;
    alignas(T) unsigned char storage[sizeof(T)];
  };
  static inline Slot* free_ = nullptr;
  static inline std::size_t count_ = 0;
};

}  // namespace

struct TimerManager::TimerList : std::multiset<TimerCell, TimerCellCompare, NodePool<TimerCell>> {};
struct TimerManager::TimerIdList
    : std::unordered_map<unsigned int, TimerList::iterator, std::hash<unsigned int>,
                         std::equal_to<unsigned int>,
                         NodePool<std::pair<const unsigned int, TimerList::iterator>>> {};

std::atomic<TimerManager*> TimerManager::m_instance{nullptr};
std::atomic<void*> TimerManager::m_mutex{nullptr};
void* TimerManager::m_shutDownEvent = nullptr;
void* TimerManager::m_timerThread_WaitTermination = nullptr;
unsigned long TimerManager::m_timerThread = 0;
std::atomic<bool> TimerManager::m_bShuttingDown{false};
unsigned int TimerManager::m_lastTick = 0;
bool TimerManager::m_flag = false;
TimerManager::TimerList* TimerManager::m_timerList = nullptr;
TimerManager::TimerIdList* TimerManager::m_timerIdList = nullptr;

namespace {

constexpr unsigned int kPeriodMs = 25;
constexpr unsigned int kStopWaitMs = 1000;

// Serialises instance(), destroy(), start(), stop() and the thread's restart in a forked child
// among themselves. A plain mutex: the at-fork handlers hold it across fork(), and only a plain
// one can be unlocked by the child, whose thread has another id.
std::mutex g_lifecycleLock;

// Set in a forked child of a running service: fork copies the timers but not the thread, which the
// next startTimer starts again.
std::atomic<bool> g_threadMissing{false};

// Tells stop() that the thread has ended and finished pulsing the termination event, so that the
// event may be closed. An event wait alone cannot tell: it may wake spuriously, and the pulse is
// still inside the event when the waiter wakes.
std::mutex g_exitGate;
bool g_threadEnded = false;  // guarded by g_exitGate

class Locked {
 public:
  explicit Locked(void* mutex) : mutex_(mutex) { KHostSystem::EnterLocalMutex(mutex_); }
  ~Locked() { KHostSystem::LeaveLocalMutex(mutex_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  void* mutex_;
};

bool ThreadEnded() {
  std::lock_guard<std::mutex> guard(g_exitGate);
  return g_threadEnded;
}

}  // namespace

TimerManager::TimerManager() : m_nextId(0) {}

TimerManager::~TimerManager() = default;

namespace {
KLogger* MakeTimerLog() {
  return new KLogger(klogTimer, -1, "TIMER", "dodudo",
                     KLogger::KLOG_EXE_PREFIX | KLogger::KLOG_SHOW_NAME, false);
}
}  // namespace

void TimerManager::Log(KLogLevel level, const char* format, ...) {
  // Never deleted: the detached timer thread may log until the very end of the process. Made
  // fork-safely: the timer thread may be making it when a process forks.
  KLogger* const logger = &dodudo::KForkSafeOnce<KLogger, MakeTimerLog>::Get();
  va_list args;
  va_start(args, format);
  logger->vLog(level, format, args);
  va_end(args);
}

TimerManager* TimerManager::instance() {
  TimerManager* current = m_instance.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  std::lock_guard<std::mutex> guard(g_lifecycleLock);
  current = m_instance.load(std::memory_order_relaxed);
  if (current == nullptr) {
    current = new TimerManager();
    m_instance.store(current, std::memory_order_release);
    startLocked();
  }
  return current;
}

void TimerManager::destroy() {
  std::lock_guard<std::mutex> guard(g_lifecycleLock);
  delete m_instance.exchange(nullptr);
}

bool TimerManager::start() {
  std::lock_guard<std::mutex> guard(g_lifecycleLock);
  return startLocked();
}

bool TimerManager::startLocked() {
  if (m_mutex.load() != nullptr) return true;

  void* mutex = KHostSystem::CreateLocalMutex();
  if (mutex == nullptr) return false;
  if (m_timerList == nullptr) m_timerList = new TimerList();
  if (m_timerIdList == nullptr) m_timerIdList = new TimerIdList();
  // Without this a timer started before the thread's first pass, due beyond the wrap, would look
  // due at once.
  m_lastTick = KHostSystem::GetTick();
  m_shutDownEvent = KHostSystem::CreateSystemEvent(nullptr);
  m_timerThread_WaitTermination = KHostSystem::CreateSystemEvent(nullptr);
  m_mutex.store(mutex, std::memory_order_release);
  m_timerThread = KHostSystem::StartThread(timerThreadStarter, m_timerThread_WaitTermination, 0);
  if (m_timerThread != 0) {
    Log(klogNotice, "TimerManager starting with tick=%u", KHostSystem::GetTick());
    return true;
  }
  KHostSystem::CloseSystemEvent(m_shutDownEvent);
  KHostSystem::CloseSystemEvent(m_timerThread_WaitTermination);
  m_shutDownEvent = m_timerThread_WaitTermination = nullptr;
  // The handle is cleared so that a later start() tries again, but the lock itself is not freed:
  // a startTimer that read the handle meanwhile may be entering it.
  m_mutex.store(nullptr);
  return false;
}

bool TimerManager::stop() {
  std::lock_guard<std::mutex> guard(g_lifecycleLock);
  void* mutex = m_mutex.load(std::memory_order_acquire);
  if (mutex == nullptr) return false;
  {
    Locked lock(mutex);
    if (m_bShuttingDown.load()) return false;
    m_bShuttingDown.store(true);
  }
  KHostSystem::PulseSystemEvent(m_shutDownEvent);

  unsigned int begin = KHostSystem::GetTick();
  for (;;) {
    unsigned int waited = KHostSystem::GetTick() - begin;
    if (ThreadEnded()) break;
    if (waited >= kStopWaitMs) return false;
    KHostSystem::WaitEvent(m_timerThread_WaitTermination, kStopWaitMs - waited);
  }
  {
    Locked lock(mutex);
    if (!m_timerList->empty())
      Log(klogNotice, "Timer manager stopped with %d timers.",
          static_cast<int>(m_timerList->size()));
    m_timerIdList->clear();
    m_timerList->clear();
  }
  KHostSystem::CloseSystemEvent(m_shutDownEvent);
  KHostSystem::CloseSystemEvent(m_timerThread_WaitTermination);
  m_shutDownEvent = m_timerThread_WaitTermination = nullptr;
  return true;
}

unsigned int TimerManager::startTimer(unsigned int delayMs, void* argument,
                                      void (*callback)(void*)) {
  if (g_threadMissing.load(std::memory_order_acquire) && !restartThread()) return INVALID_TIMER_ID;
  void* mutex = m_mutex.load(std::memory_order_acquire);
  if (callback == nullptr || mutex == nullptr || m_bShuttingDown.load()) return INVALID_TIMER_ID;
  Locked lock(mutex);
  if (m_bShuttingDown.load()) return INVALID_TIMER_ID;
  unsigned int now = KHostSystem::GetTick();
  // After 2^32 timers the ids come round again; one still pending (a long timer, or one of an
  // earlier instance) is skipped, so that an id always names a single timer.
  TimerIdList::iterator slot;
  for (bool fresh = false; !fresh;) {
    if (m_nextId == INVALID_TIMER_ID) m_nextId = 1;
    std::tie(slot, fresh) = m_timerIdList->try_emplace(m_nextId++);
  }
  unsigned int due = now + delayMs;
  // The epoch of m_lastTick is m_flag. `now` lies one epoch later when the tick has wrapped since
  // the thread's last pass, and `due` one more when the sum wraps: a delay close to 2^32 (such as
  // an "infinite" ~0u) must not look overdue at once.
  bool flag = ((now < m_lastTick) != (due < now)) ? !m_flag : m_flag;
  try {
    slot->second = m_timerList->insert(TimerCell{slot->first, due, argument, callback, flag});
  } catch (...) {
    m_timerIdList->erase(slot);
    throw;
  }
  return slot->first;
}

void* TimerManager::stopTimer(unsigned int id) {
  if (id == INVALID_TIMER_ID) return nullptr;
  void* mutex = m_mutex.load(std::memory_order_acquire);
  if (mutex == nullptr || m_bShuttingDown.load()) return nullptr;
  Locked lock(mutex);
  if (m_bShuttingDown.load()) return nullptr;
  auto found = m_timerIdList->find(id);
  if (found == m_timerIdList->end()) return nullptr;
  void* argument = found->second->argument;
  m_timerList->erase(found->second);
  m_timerIdList->erase(found);
  return argument;
}

void TimerManager::collectDue(std::vector<TimerCell>& fired) {
  Locked lock(m_mutex.load());
  unsigned int now = KHostSystem::GetTick();
  if (now < m_lastTick) {
    m_flag = !m_flag;
    Log(klogInfo, "TimerManager flag inversion. now(%u) < last(%u).", now, m_lastTick);
  }
  m_lastTick = now;
  TimerList& list = *m_timerList;
  auto moveRange = [&](TimerList::iterator from, TimerList::iterator to) {
    for (auto cell = from; cell != to;) {
      fired.push_back(*cell);
      m_timerIdList->erase(cell->id);
      cell = list.erase(cell);
    }
  };
  auto key = [](bool flag, unsigned int due) { return TimerCell{0, due, nullptr, nullptr, flag}; };
  // The group of the other flag holds the cells of the epoch that just ended (due beyond now,
  // overdue since the wrap) before those of the next epoch (due at or below now, not due yet).
  // The former fire first: they were due before any cell of the current epoch.
  bool other = !m_flag;
  auto otherEnd = other ? list.end() : list.lower_bound(key(true, 0));
  moveRange(list.upper_bound(key(other, now)), otherEnd);
  moveRange(list.lower_bound(key(m_flag, 0)), list.upper_bound(key(m_flag, now)));
}

void TimerManager::timerThread() {
  KHostSystem::ThreadSetPriority(3);
  std::vector<TimerCell> fired;
  // Passes keep to a 25 ms grid, so that the time callbacks take does not stretch the period.
  unsigned int nextPass = KHostSystem::GetTick() + kPeriodMs;
  for (;;) {
    unsigned int wait = nextPass - KHostSystem::GetTick();
    if (wait > kPeriodMs) {  // late (or the clock jumped): start a fresh grid from now
      wait = 0;
      nextPass = KHostSystem::GetTick();
    }
    KHostSystem::WaitEvent(m_shutDownEvent, wait);
    nextPass += kPeriodMs;
    if (m_bShuttingDown.load()) break;
    fired.clear();
    collectDue(fired);
    for (const TimerCell& cell : fired) {
      try {
        cell.callback(cell.argument);
      } catch (const std::exception& e) {
        Log(klogError, "TimerManager callback exception: %s", e.what());
      } catch (...) {
        Log(klogError, "TimerManager callback unknown error.");
      }
    }
  }
}

void* TimerManager::timerThreadStarter(void* terminationEvent) {
  _NotifyThreadInit("DOdudo/TimerManager", "timerThreadStarter", 129);
  try {
    timerThread();
  } catch (...) {
    Log(klogError, "Unrecoverable exception on timer thread, exiting ...");
    // A failure: the parent (or a service manager) must be able to tell it from a clean end.
    std::exit(EXIT_FAILURE);
  }
  std::lock_guard<std::mutex> guard(g_exitGate);
  g_threadEnded = true;
  KHostSystem::PulseSystemEvent(terminationEvent);
  return nullptr;
}

// Around fork() the service is held still: the child gets the collections and the events as no
// thread was changing them. The timer thread itself never forks while holding any of these (its
// callbacks run without them).
void TimerManager::forkPrepare(void*) {
  g_lifecycleLock.lock();
  if (void* mutex = m_mutex.load()) KHostSystem::EnterLocalMutex(mutex);
  g_exitGate.lock();
}

void TimerManager::forkParent(void*) {
  g_exitGate.unlock();
  if (void* mutex = m_mutex.load()) KHostSystem::LeaveLocalMutex(mutex);
  g_lifecycleLock.unlock();
}

// The child starts with no pending timer, as with alarm() and timer_create(): the parent still
// fires its own, and a callback run in both processes would, for example, write the same keep-alive
// twice to one shared socket. Its ids go on from the parent's.
void TimerManager::forkChild(void*) {
  g_exitGate.unlock();
  if (m_mutex.load() != nullptr) {
    // The old lock (recursive, held by the parent's thread id) and the events (the thread may have
    // been inside them) are left behind, not freed: nothing in the child can release them.
    m_mutex.store(KHostSystem::CreateLocalMutex());
    m_timerIdList->clear();
    m_timerList->clear();
    g_threadEnded = false;
    m_timerThread = 0;
    if (m_shutDownEvent != nullptr) {
      m_shutDownEvent = KHostSystem::CreateSystemEvent(nullptr);
      m_timerThread_WaitTermination = KHostSystem::CreateSystemEvent(nullptr);
    }
    // A parent that was stopping leaves a child whose service is stopped: no thread to wait for.
    if (m_bShuttingDown.load()) g_threadEnded = true;
    else g_threadMissing.store(true);
  }
  g_lifecycleLock.unlock();
}

// Registered when the library loads, never under g_lifecycleLock: the prepare handler takes that
// lock with the registry's held, so registering under it could deadlock with a fork.
[[maybe_unused]] const unsigned long g_forkHandlers = dodudo::KAtFork::Register(
    &TimerManager::forkPrepare, &TimerManager::forkParent, &TimerManager::forkChild, nullptr);

bool TimerManager::restartThread() {
  std::lock_guard<std::mutex> guard(g_lifecycleLock);
  if (!g_threadMissing.load()) return true;
  if (m_bShuttingDown.load()) return false;
  m_timerThread = KHostSystem::StartThread(timerThreadStarter, m_timerThread_WaitTermination, 0);
  if (m_timerThread == 0) return false;
  g_threadMissing.store(false, std::memory_order_release);
  return true;
}
