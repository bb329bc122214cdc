// base::Lock: a mutual-exclusion lock that the thread-safety analysis understands (a thin
// std::mutex; libstdc++'s carries no attributes).  Hold it with AutoLock; let go for a stretch
// inside such a scope with AutoUnlock.  Wait on a condition with base::ConditionVariable.
//
// Any thread.  Not recursive: taking a lock the thread holds already deadlocks.

#ifndef BASE_SYNCHRONIZATION_LOCK_H_
#define BASE_SYNCHRONIZATION_LOCK_H_

#include <mutex>

#include "base/thread_annotations.h"

namespace base {

class ConditionVariable;

class CAPABILITY("mutex") Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire() ACQUIRE() { mu_.lock(); }
  void Release() RELEASE() { mu_.unlock(); }
  bool Try() TRY_ACQUIRE(true) { return mu_.try_lock(); }

  // Tells the analysis that the caller holds the lock where it cannot see it (a callback run
  // under the lock).  Checks nothing at run time.
  void AssertAcquired() const ASSERT_CAPABILITY(this) {}

 private:
  friend class ConditionVariable;
  std::mutex mu_;
};

// Holds |lock| for the scope.
class SCOPED_CAPABILITY AutoLock {
 public:
  explicit AutoLock(Lock& lock) ACQUIRE(lock) : lock_(lock) { lock_.Acquire(); }
  ~AutoLock() RELEASE() { lock_.Release(); }
  AutoLock(const AutoLock&) = delete;
  AutoLock& operator=(const AutoLock&) = delete;

 private:
  Lock& lock_;
};

// Releases |lock|, held by the caller, for the scope, and takes it again at the end: for a call
// out (a callback, a task) made from inside a locked stretch.
class SCOPED_CAPABILITY AutoUnlock {
 public:
  explicit AutoUnlock(Lock& lock) RELEASE(lock) : lock_(lock) { lock_.Release(); }
  // Ending the scope undoes what the constructor did: the analysis takes RELEASE on a scope's
  // destructor to mean that, so the lock counts as held again.
  ~AutoUnlock() RELEASE() { lock_.Acquire(); }
  AutoUnlock(const AutoUnlock&) = delete;
  AutoUnlock& operator=(const AutoUnlock&) = delete;

 private:
  Lock& lock_;
};

}  // namespace base

#endif  // BASE_SYNCHRONIZATION_LOCK_H_
