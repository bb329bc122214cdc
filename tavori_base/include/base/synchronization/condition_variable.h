// base::ConditionVariable: waits for a change made under a base::Lock.  Every wait takes the
// lock, held by the caller, and holds it again when it returns; wake-ups may be spurious, so a
// caller waits in a loop on its condition:
//
//   base::AutoLock hold(lock_);
//   while (!done_) changed_.Wait(lock_);
//
// Any thread.  Signal and Broadcast may be called with or without the lock held.

#ifndef BASE_SYNCHRONIZATION_CONDITION_VARIABLE_H_
#define BASE_SYNCHRONIZATION_CONDITION_VARIABLE_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"

namespace base {

class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  // The lock is released while the wait lasts and held again on return; the analysis sees it
  // held throughout, which is what the caller's code may rely on.
  void Wait(Lock& lock) REQUIRES(lock) NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock<std::mutex> held(lock.mu_, std::adopt_lock);
    cv_.wait(held);
    held.release();
  }

  // Waits until woken or |deadline| passes; false when it passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(Lock& lock, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(lock) NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock<std::mutex> held(lock.mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return woken;
  }

  // Waits until woken or |timeout| passes; false when it passed.
  template <typename Rep, typename Period>
  bool WaitFor(Lock& lock, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(lock) {
    return WaitUntil(lock, std::chrono::steady_clock::now() + timeout);
  }

  void Signal() { cv_.notify_one(); }
  void Broadcast() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace base

#endif  // BASE_SYNCHRONIZATION_CONDITION_VARIABLE_H_
