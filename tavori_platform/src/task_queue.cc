#include "src/task_queue.h"

#include <algorithm>

namespace tavorisdk::internal {

bool TaskQueue::Post(Task task) {
  bool accepted = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // After quit the task is kept but never runs: destroying it here could release objects that
    // the exiting loop still uses.
    tasks_.push_back(std::move(task));
    accepted = !quit_;
    posted_.notify_all();
  }
  if (accepted && wake_) {
    wake_();
  }
  return accepted;
}

bool TaskQueue::Quit() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (quit_) {
      return false;
    }
    quit_ = true;
    posted_.notify_all();
  }
  if (wake_) {
    wake_();
  }
  return true;
}

bool TaskQueue::Quitting() {
  std::lock_guard<std::mutex> lock(mu_);
  return quit_;
}

uint64_t TaskQueue::PostDelayed(std::chrono::milliseconds delay, Task task) {
  const uint64_t id = next_delayed_id_++;
  delayed_.emplace(std::chrono::steady_clock::now() + delay, std::make_pair(id, std::move(task)));
  return id;
}

void TaskQueue::CancelDelayed(uint64_t id) {
  for (auto it = delayed_.begin(); it != delayed_.end(); ++it) {
    if (it->second.first == id) {
      Task task = std::move(it->second.second);
      delayed_.erase(it);
      return;  // |task| is destroyed after the map is consistent again
    }
  }
}

void TaskQueue::DrainSoon() {
  while (!soon_.empty()) {
    Task task = std::move(soon_.front());
    soon_.pop_front();
    task();
  }
}

void TaskQueue::RunPosted() {
  std::deque<Task> tasks;
  {
    std::lock_guard<std::mutex> lock(mu_);
    tasks.swap(tasks_);
  }
  while (!tasks.empty()) {
    if (Quitting()) {
      // Keep the rest, unrun, with the tasks posted after quit.
      std::lock_guard<std::mutex> lock(mu_);
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
  const auto now = std::chrono::steady_clock::now();
  while (!delayed_.empty() && delayed_.begin()->first <= now && !Quitting()) {
    Task task = std::move(delayed_.begin()->second.second);
    delayed_.erase(delayed_.begin());
    task();
    DrainSoon();
  }
}

int TaskQueue::WaitMsLocked(int cap_ms) {
  long timeout = cap_ms;
  if (!delayed_.empty()) {
    const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(
                           delayed_.begin()->first - std::chrono::steady_clock::now())
                           .count();
    timeout = std::min<long>(timeout, std::max<long>(0, until));
  }
  if (!tasks_.empty() || quit_) {
    timeout = 0;
  }
  return static_cast<int>(timeout);
}

int TaskQueue::WaitMs(int cap_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  return WaitMsLocked(cap_ms);
}

void TaskQueue::WaitForWork(int cap_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  posted_.wait_for(lock, std::chrono::milliseconds(WaitMsLocked(cap_ms)),
                   [this] { return quit_ || !tasks_.empty(); });
}

}  // namespace tavorisdk::internal
