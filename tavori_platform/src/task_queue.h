// The network thread's work, whatever drives its HTTP transfers: tasks posted from any thread,
// tasks to run as soon as the current call returns, and delayed tasks (retries, timeouts).
//
// Threads: Post, Quit and Quitting may run on any thread; everything else only on the thread that
// owns the queue (the network thread), the first to call one of those functions (checked in debug
// builds).  mu_ guards the posted tasks and the quit flag; the soon and delayed tasks belong to
// the owning thread.  After Quit, posted tasks are
// kept but never run, so that nothing they own is destroyed while the process tears down.

#ifndef TAVORI_PLATFORM_SRC_TASK_QUEUE_H_
#define TAVORI_PLATFORM_SRC_TASK_QUEUE_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <utility>

#include "base/synchronization/condition_variable.h"
#include "base/synchronization/lock.h"
#include "base/thread_annotations.h"
#include "base/threading/thread_checker.h"

namespace tavorisdk::internal {

class TaskQueue {
 public:
  using Task = std::function<void()>;

  // |wake| interrupts the owner's wait after a post or a quit (any thread); without one the
  // queue's own WaitForWork is the wait.
  explicit TaskQueue(std::function<void()> wake = nullptr) : wake_(std::move(wake)) {}

  // Any thread.  False once the queue quit; the task is then kept, never run.
  bool Post(Task task);
  // Any thread.  False when the queue had quit already.
  bool Quit();
  bool Quitting() EXCLUDES(mu_);

  // --- Owner thread. ---
  void RunSoon(Task task) {
    BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
    soon_.push_back(std::move(task));
  }
  uint64_t PostDelayed(std::chrono::milliseconds delay, Task task);
  void CancelDelayed(uint64_t id);
  // Runs what was posted (each followed by the soon tasks it queued), then the soon tasks.
  void RunPosted();
  void RunDueDelayed();
  void DrainSoon();
  // How long the owner may wait: until the next delayed task is due, 0 when tasks are waiting
  // or the queue quit, kWaitForever when nothing is due at all.
  static constexpr int kWaitForever = -1;
  int WaitMs() EXCLUDES(mu_);
  // Waits up to WaitMs() for a post or a quit (the queue's own wait, for an owner without a
  // wake function).
  void WaitForWork() EXCLUDES(mu_);

 private:
  int WaitMsLocked() REQUIRES(mu_);

  const std::function<void()> wake_;
  base::Lock mu_;
  base::ConditionVariable posted_;  // signalled under mu_ after a post or the quit
  std::deque<Task> tasks_ GUARDED_BY(mu_);
  bool quit_ GUARDED_BY(mu_) = false;

  // Owner thread only.
  base::threading::ThreadChecker owner_;
  std::deque<Task> soon_;
  std::multimap<std::chrono::steady_clock::time_point, std::pair<uint64_t, Task>> delayed_;
  uint64_t next_delayed_id_ = 1;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_TASK_QUEUE_H_
