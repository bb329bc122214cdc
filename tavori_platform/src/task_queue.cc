#include "src/task_queue.h"

#include <algorithm>
#include <limits>

namespace tavorisdk::internal {

bool TaskQueue::Post(Task task) {
  bool accepted = true;
  {
    base::AutoLock lock(mu_);
    // After quit the task is kept but never runs: destroying it here could release objects that
    // the exiting loop still uses.
    tasks_.push_back(std::move(task));
    accepted = !quit_;
    posted_.Broadcast();
  }
  if (accepted && wake_) {
    wake_();
  }
  return accepted;
}

bool TaskQueue::Quit() {
  {
    base::AutoLock lock(mu_);
    if (quit_) {
      return false;
    }
    quit_ = true;
    posted_.Broadcast();
  }
  if (wake_) {
    wake_();
  }
  return true;
}

bool TaskQueue::Quitting() {
  base::AutoLock lock(mu_);
  return quit_;
}

uint64_t TaskQueue::PostDelayed(std::chrono::milliseconds delay, Task task) {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
  const uint64_t id = next_delayed_id_++;
  delayed_.emplace(std::chrono::steady_clock::now() + delay, std::make_pair(id, std::move(task)));
  return id;
}

void TaskQueue::CancelDelayed(uint64_t id) {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
  for (auto it = delayed_.begin(); it != delayed_.end(); ++it) {
    if (it->second.first == id) {
      Task task = std::move(it->second.second);
      delayed_.erase(it);
      return;  // |task| is destroyed after the map is consistent again
    }
  }
}

void TaskQueue::DrainSoon() {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
  while (!soon_.empty()) {
    Task task = std::move(soon_.front());
    soon_.pop_front();
    task();
  }
}

void TaskQueue::RunPosted() {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
  std::deque<Task> tasks;
  {
    base::AutoLock lock(mu_);
    tasks.swap(tasks_);
  }
  while (!tasks.empty()) {
    if (Quitting()) {
      // Keep the rest, unrun, with the tasks posted after quit.
      base::AutoLock lock(mu_);
      for (Task& task : tasks) {
        tasks_.push_back(std::move(task));
      }
      return;
    }
    Task task = std::move(tasks.front());
    tasks.pop_front();
    task();
    DrainSoon();
  }
}

void TaskQueue::RunDueDelayed() {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
  const auto now = std::chrono::steady_clock::now();
  while (!delayed_.empty() && delayed_.begin()->first <= now && !Quitting()) {
    Task task = std::move(delayed_.begin()->second.second);
    delayed_.erase(delayed_.begin());
    task();
    DrainSoon();
  }
}

int TaskQueue::WaitMsLocked() {
  BASE_DCHECK_CALLED_ON_VALID_THREAD(owner_);
  if (!tasks_.empty() || quit_) {
    return 0;
  }
  if (delayed_.empty()) {
    return kWaitForever;
  }
  // Rounded up, so that the wait never ends just before the task is due and spins.
  const auto until = std::chrono::ceil<std::chrono::milliseconds>(delayed_.begin()->first -
                                                                  std::chrono::steady_clock::now())
                         .count();
  return static_cast<int>(std::clamp<int64_t>(until, 0, std::numeric_limits<int>::max()));
}

int TaskQueue::WaitMs() {
  base::AutoLock lock(mu_);
  return WaitMsLocked();
}

void TaskQueue::WaitForWork() {
  base::AutoLock lock(mu_);
  const int wait_ms = WaitMsLocked();
  if (wait_ms == kWaitForever) {
    while (!quit_ && tasks_.empty()) {
      posted_.Wait(mu_);
    }
    return;
  }
  // One wait: a delayed task is due by then, or a post woke it early.
  if (wait_ms > 0 && !quit_ && tasks_.empty()) {
    posted_.WaitFor(mu_, std::chrono::milliseconds(wait_ms));
  }
}

}  // namespace tavorisdk::internal
