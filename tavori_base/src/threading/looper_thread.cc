#include "base/threading/looper_thread.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <vector>

#include "base/log/log.h"

namespace base::threading {
namespace {
constexpr char kLogSource[] = "base_looper";

// The steps of the file looper's exit handler; never destroyed, since they run at exit.
std::mutex& ExitStepsMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
std::vector<std::function<void()>>& ExitSteps() {
  static auto* steps = new std::vector<std::function<void()>>();
  return *steps;
}

// The file looper's exit handler: the registered steps, last first, then the looper's Shutdown.
// Idempotent.
std::atomic<bool> g_abandon_at_exit{false};

void RunFileLooperExit() {
  if (g_abandon_at_exit.load()) {
    return;
  }
  std::vector<std::function<void()>> steps;
  {
    std::lock_guard<std::mutex> lock(ExitStepsMutex());
    steps.swap(ExitSteps());
  }
  // Last registered, first run.
  std::for_each(steps.rbegin(), steps.rend(), [](const std::function<void()>& step) { step(); });
  LooperThread::FileLooper()->Shutdown();
}

}  // namespace

LooperThread::LooperThread(std::string name) : name_(std::move(name)) {
  thread_ = std::thread([this] { Run(); });
  thread_id_ = thread_.get_id();
}

LooperThread::~LooperThread() { Shutdown(); }

void LooperThread::PostTask(Task task, Location from) {
  if (!task) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopping_) {
      tasks_.push_back(PendingTask{std::move(task), std::move(from)});
      work_available_.notify_one();
      return;
    }
  }
  // Shut down already: run it here rather than lose it.
  PendingTask pending{std::move(task), std::move(from)};
  RunTask(pending);
}

void LooperThread::Flush() {
  if (RunsTasksOnCurrentThread()) {
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  // Tasks run in order, so once the queue has been empty with no task running, every task
  // posted before this call has finished.
  idle_.wait(lock, [this] { return tasks_.empty() && !running_task_; });
}

void LooperThread::Shutdown() {
  std::lock_guard<std::mutex> shutting_down(shutdown_mu_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_ && !thread_.joinable()) {
      return;
    }
    stopping_ = true;
    work_available_.notify_all();
  }
  if (RunsTasksOnCurrentThread()) {
    // A task of ours is ending the process: finish the queue here; the thread dies with it.
    std::deque<PendingTask> rest;
    {
      std::lock_guard<std::mutex> lock(mu_);
      rest.swap(tasks_);
    }
    for (PendingTask& pending : rest) {
      RunTask(pending);
    }
    if (thread_.joinable()) {
      thread_.detach();
    }
    return;
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

bool LooperThread::RunsTasksOnCurrentThread() const {
  return std::this_thread::get_id() == thread_id_;
}

void LooperThread::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    work_available_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) {
      // Stopping, and everything posted has run.
      idle_.notify_all();
      return;
    }
    PendingTask pending = std::move(tasks_.front());
    tasks_.pop_front();
    running_task_ = true;
    lock.unlock();
    RunTask(pending);
    lock.lock();
    running_task_ = false;
    if (tasks_.empty()) {
      idle_.notify_all();
    }
  }
}

void LooperThread::RunTask(PendingTask& pending) {
  try {
    pending.task();
  } catch (const std::exception& e) {
    BASE_LOG(log::kLevelFailure) << "task from " << pending.from.ToString()
                                 << " threw: " << e.what();
  } catch (...) {
    BASE_LOG(log::kLevelFailure) << "task from " << pending.from.ToString() << " threw";
  }
}

std::shared_ptr<LooperThread> LooperThread::FileLooper() {
  // Created on first use and never destroyed: tasks may still be posted while the process
  // exits.  The exit handler drains it and joins its thread before the module goes away.
  static std::shared_ptr<LooperThread>* looper = [] {
    auto* created = new std::shared_ptr<LooperThread>(std::make_shared<LooperThread>("file"));
    std::atexit(RunFileLooperExit);
    return created;
  }();
  return *looper;
}

void LooperThread::AbandonAtExit() { g_abandon_at_exit.store(true); }

void LooperThread::RunBeforeFileLooperExit(std::function<void()> step) {
  FileLooper();
  {
    std::lock_guard<std::mutex> lock(ExitStepsMutex());
    ExitSteps().push_back(std::move(step));
  }
  // Registered again, so that the handler runs before the static objects made since the looper
  // started are destroyed: the step's threads may still use them.  Later runs find nothing to do.
  std::atexit(RunFileLooperExit);
}

}  // namespace base::threading
