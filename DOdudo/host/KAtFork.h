#pragma once

#include <pthread.h>

#include "DOdudo/host/KExport.h"

namespace dodudo {

// Handlers around fork(2) for every part of the toolkit (and of programs built on it) that keeps
// a lock or a background thread: one pthread_atfork registration for the whole library, with
// handlers added and removed at run time.
//
// Order, as with pthread_atfork: the prepare handlers run in the forking thread before the fork,
// the newest registration first; the parent handlers in the parent and the child handlers in the
// child after it, the oldest first. So a component registered after another (and using it) takes
// its locks first and gets them back last.
//
// The usual pattern for a component with a lock M and a lazily started thread:
//   prepare: lock M (the child then gets a consistent copy of what M guards);
//   parent:  unlock M;
//   child:   leave M alone if it is recursive (its owner is the parent's thread id, so unlocking
//            fails) and install a fresh one, a plain mutex may be unlocked; forget the thread
//            (threads are not copied by fork) so that the next use starts it again.
// A component that would rather not register anything compares Generation() with the value it
// saw when it started its thread.
//
// The pthread_atfork registration is made when the library is loaded. Unloading: glibc drops the
// library's pthread_atfork handlers when the library is unloaded, and
// the registry itself has no destructor, so Unregister stays safe at any time, from static
// destructors at unload or exit included. A module loaded with dlopen that registers handlers
// must unregister them before it is unloaded (its functions would be gone).
//
// Threading: Register, Unregister and Generation may be called from any thread. Handlers run
// with the registry locked: a handler must not call Register or Unregister, and a prepare
// handler must not wait for anything a thread of the process needs the registry for.
class DODUDO_API KAtFork {
 public:
  using Handler = void (*)(void* context);

  // Adds one set of handlers; any of them may be null. Each is called with `context`. Returns a
  // non-zero id for Unregister, or 0 when memory or the pthread_atfork registration ran out.
  static unsigned long Register(Handler prepare, Handler parent, Handler child, void* context);
  // The same for locks that every other component may take while it holds its own (the log
  // writers': anything logs): these prepare handlers run after all the others, whatever the order
  // of registration, and their parent and child handlers before all the others.
  static unsigned long RegisterInnermost(Handler prepare, Handler parent, Handler child,
                                         void* context);
  // Removes the handlers of `id`; nothing for 0 or an id that is not registered. When it
  // returns, none of them runs any more.
  static void Unregister(unsigned long id);
  // How many forks lie between the process that loaded the library and this one: 0 in it, 1 in a
  // child, 2 in a grandchild... Read without a lock, so a cheap check on every use.
  static unsigned long Generation();
  // For a child handler: frees a recursive mutex in place that the forking thread took in its
  // prepare handler. glibc refuses to unlock it in the child (its owner is the parent's thread
  // id) and leaves it unchanged, so it is initialised anew; that refused unlock still tells a race
  // detector the lock is no longer held, which otherwise sees it held for ever and reports a lock
  // order that does not exist at the child's next fork.
  static void RenewHeldRecursiveMutex(pthread_mutex_t* mutex);

  KAtFork() = delete;
};

}  // namespace dodudo
