#pragma once

#include <list>
#include <utility>

#include "DOdudo/host/KMutex.h"
#include "DOdudo/host/KThreadMutex.h"
#include "DOdudo/host/NonCopyable.h"

namespace dodudo {

// A call with one argument, as an object that can be kept in a list.
template <typename Arg, typename R>
class KUnaryFunction {
 public:
  virtual ~KUnaryFunction() = default;
  virtual R operator()(Arg argument) = 0;
};

// KUnaryFunction over any callable (a lambda, a function pointer).
template <typename Arg, typename R, typename F>
class KUnaryFunctor : public KUnaryFunction<Arg, R> {
 public:
  explicit KUnaryFunctor(F function) : function_(std::move(function)) {}
  R operator()(Arg argument) override { return function_(argument); }

 private:
  F function_;
};

template <typename Arg, typename R = void, typename F>
KUnaryFunction<Arg, R>* MakeUnaryFunction(F function) {
  return new KUnaryFunctor<Arg, R, F>(std::move(function));
}

// A list of callbacks that owns its function objects (they are deleted with the list or when
// removed). Every operation takes the list's recursive mutex, which is also held while Call runs
// the callbacks, in the order they were added. A callback must not remove entries of the list
// that is calling it.
template <typename R, typename Arg>
class KCallbackList : public NonCopyable {
 public:
  KCallbackList() = default;
  ~KCallbackList() {
    for (KUnaryFunction<Arg, R>* function : functions_) delete function;
  }

  // Takes ownership; null is ignored.
  void Add(KUnaryFunction<Arg, R>* function) {
    if (function == nullptr) return;
    KScopedLock lock(mutex_);
    functions_.push_back(function);
  }
  // Removes and deletes function; false when it is not in the list.
  bool Remove(KUnaryFunction<Arg, R>* function) {
    KScopedLock lock(mutex_);
    for (auto it = functions_.begin(); it != functions_.end(); ++it) {
      if (*it != function) continue;
      functions_.erase(it);
      delete function;
      return true;
    }
    return false;
  }
  void Call(Arg argument) {
    KScopedLock lock(mutex_);
    for (KUnaryFunction<Arg, R>* function : functions_) (*function)(argument);
  }
  size_t Size() {
    KScopedLock lock(mutex_);
    return functions_.size();
  }

 private:
  KThreadMutex mutex_;
  std::list<KUnaryFunction<Arg, R>*> functions_;
};

}  // namespace dodudo
