#include "DOdudo/host/KAtFork.h"

#include <pthread.h>

#include <atomic>
#include <initializer_list>
#include <new>

#include "DOdudo/host/KRetained.h"

namespace dodudo {
namespace {

struct Entry {
  unsigned long id;
  KAtFork::Handler prepare;
  KAtFork::Handler parent;
  KAtFork::Handler child;
  void* context;
  bool innermost;
  Entry* newer;
  Entry* older;
};

// Plain data without destructors: the registry outlives every static destructor of the library,
// so that Unregister works at unload and at exit in any order.
// A plain (non-recursive) mutex: the child can unlock it although its thread has another id.
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Entry* g_oldest = nullptr;  // guarded by g_lock
Entry* g_newest = nullptr;  // guarded by g_lock
unsigned long g_nextId = 1;  // guarded by g_lock
bool g_installed = false;    // guarded by g_lock
std::atomic<unsigned long> g_generation{0};

void Prepare() {
  pthread_mutex_lock(&g_lock);
  for (bool innermost : {false, true}) {
    for (Entry* e = g_newest; e != nullptr; e = e->older)
      if (e->innermost == innermost && e->prepare != nullptr) e->prepare(e->context);
  }
}

void Parent() {
  for (bool innermost : {true, false}) {
    for (Entry* e = g_oldest; e != nullptr; e = e->newer)
      if (e->innermost == innermost && e->parent != nullptr) e->parent(e->context);
  }
  pthread_mutex_unlock(&g_lock);
}

void Child() {
  g_generation.fetch_add(1, std::memory_order_relaxed);
  for (bool innermost : {true, false}) {
    for (Entry* e = g_oldest; e != nullptr; e = e->newer)
      if (e->innermost == innermost && e->child != nullptr) e->child(e->context);
  }
  pthread_mutex_unlock(&g_lock);
}

// Installs the one pthread_atfork registration (g_lock held). Registered by this library's code,
// so glibc removes it when the library is unloaded.
bool Install() {
  if (!g_installed && pthread_atfork(&Prepare, &Parent, &Child) == 0) g_installed = true;
  return g_installed;
}

// At load, so that Generation() counts every fork, even before anything registers.
[[maybe_unused]] const bool g_installedAtLoad = [] {
  pthread_mutex_lock(&g_lock);
  bool installed = Install();
  pthread_mutex_unlock(&g_lock);
  return installed;
}();

unsigned long Add(KAtFork::Handler prepare, KAtFork::Handler parent, KAtFork::Handler child,
                  void* context, bool innermost) {
  // Kept past an unload with its registry (see KRetained).
  Entry* entry = KRetained([&] {
    return new (std::nothrow) Entry{0, prepare, parent, child, context, innermost, nullptr, nullptr};
  });
  if (entry == nullptr) return 0;
  pthread_mutex_lock(&g_lock);
  if (!Install()) {
    pthread_mutex_unlock(&g_lock);
    delete entry;
    return 0;
  }
  entry->id = g_nextId++;
  if (g_nextId == 0) g_nextId = 1;
  entry->older = g_newest;
  if (g_newest != nullptr) g_newest->newer = entry;
  else g_oldest = entry;
  g_newest = entry;
  unsigned long id = entry->id;
  pthread_mutex_unlock(&g_lock);
  return id;
}

}  // namespace

unsigned long KAtFork::Register(Handler prepare, Handler parent, Handler child, void* context) {
  return Add(prepare, parent, child, context, false);
}

unsigned long KAtFork::RegisterInnermost(Handler prepare, Handler parent, Handler child,
                                         void* context) {
  return Add(prepare, parent, child, context, true);
}

void KAtFork::Unregister(unsigned long id) {
  if (id == 0) return;
  pthread_mutex_lock(&g_lock);
  Entry* entry = g_oldest;
  while (entry != nullptr && entry->id != id) entry = entry->newer;
  if (entry != nullptr) {
    (entry->older != nullptr ? entry->older->newer : g_oldest) = entry->newer;
    (entry->newer != nullptr ? entry->newer->older : g_newest) = entry->older;
  }
  pthread_mutex_unlock(&g_lock);
  delete entry;
}

unsigned long KAtFork::Generation() { return g_generation.load(std::memory_order_relaxed); }

void KAtFork::RenewHeldRecursiveMutex(pthread_mutex_t* mutex) {
  pthread_mutex_unlock(mutex);  // refused (EPERM), see the header
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

}  // namespace dodudo
