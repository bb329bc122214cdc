// The network thread's work, whatever drives its HTTP transfers: tasks posted from any thread,
// tasks to run as soon as the current call returns, and delayed tasks (retries, timeouts).
//
// Threads: Post, Quit, Quitting and WaitForWork may run on any thread; everything else only on
// the thread that owns the queue (the network thread).  mu_ guards the posted tasks and the quit
// flag; the soon and delayed tasks belong to the owning thread.  After Quit, posted tasks are
// kept but never run, so that nothing they own is destroyed while the process tears down.

#ifndef TAVORI_PLATFORM_SRC_TASK_QUEUE_H_
#define TAVORI_PLATFORM_SRC_TASK_QUEUE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

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
  bool Quitting();

  // --- Owner thread. ---
  void RunSoon(Task task) { soon_.push_back(std::move(task)); }
  uint64_t PostDelayed(std::chrono::milliseconds delay, Task task);
  void CancelDelayed(uint64_t id);
  // Runs what was posted (each followed by the soon tasks it queued), then the soon tasks.
  void RunPosted();
  void RunDueDelayed();
  void DrainSoon();
  // How long the owner may wait: until the next delayed task, at most |cap_ms|; 0 when tasks
  // are waiting or the queue quit.
  int WaitMs(int cap_ms);
  // Waits up to WaitMs(|cap_ms|) for a post or a quit (the queue's own wait).
  void WaitForWork(int cap_ms);

 private:
  int WaitMsLocked(int cap_ms);

  const std::function<void()> wake_;
  std::mutex mu_;
  std::condition_variable posted_;
  std::deque<Task> tasks_;  // guarded by mu_
  bool quit_ = false;       // guarded by mu_

  // Owner thread only.
  std::deque<Task> soon_;
  std::multimap<std::chrono::steady_clock::time_point, std::pair<uint64_t, Task>> delayed_;
  uint64_t next_delayed_id_ = 1;
};

}  // namespace tavorisdk::internal

#endif  // TAVORI_PLATFORM_SRC_TASK_QUEUE_H_
