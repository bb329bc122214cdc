// Checks, in debug builds, that the methods of an object run on one thread.
//
// A ThreadChecker binds to the first thread that asks it (or is told to forget it with
// DetachFromThread, for an object made on one thread and then handed to another);
// BASE_DCHECK_CALLED_ON_VALID_THREAD(checker) asserts the caller is that thread.  With NDEBUG the
// checker is empty and the assertion evaluates nothing.
//
// For code that must run on a named thread of the module (the file looper, the SDK's network
// thread) assert that thread directly: BASE_DCHECK(base::threading::OnFileThread()).

#ifndef BASE_THREADING_THREAD_CHECKER_H_
#define BASE_THREADING_THREAD_CHECKER_H_

#include <atomic>
#include <thread>

#include "base/check.h"

namespace base::threading {

class ThreadChecker {
 public:
#if defined(NDEBUG)
  bool CalledOnValidThread() const { return true; }
  void DetachFromThread() {}
#else
  // Any thread: binds an unbound checker to the caller.
  bool CalledOnValidThread() const {
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id expected{};
    return owner_.compare_exchange_strong(expected, self) || expected == self;
  }
  void DetachFromThread() { owner_.store(std::thread::id{}); }

 private:
  mutable std::atomic<std::thread::id> owner_{};
#endif
};

// Whether the caller runs file-looper work: on the process's file looper
// (LooperThread::FileLooper()), or anywhere once that looper has shut down at exit (its tasks
// then run on the posting thread).
bool OnFileThread();

}  // namespace base::threading

#define BASE_DCHECK_CALLED_ON_VALID_THREAD(checker) BASE_DCHECK((checker).CalledOnValidThread())

#endif  // BASE_THREADING_THREAD_CHECKER_H_
