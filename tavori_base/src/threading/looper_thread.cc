#include "base/threading/looper_thread.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <vector>

#include "base/log/log.h"
#include "base/threading/thread_checker.h"

namespace base::threading {
namespace {
constexpr char kLogSource[] = "base_looper";

// The steps of the file looper's exit handler; never destroyed, since they run at exit.
struct ExitStepList {
  Lock lock;
  std::vector<std::function<void()>> steps GUARDED_BY(lock);
};
ExitStepList& ExitSteps() {
  static auto* list = new ExitStepList();
  return *list;
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
    ExitStepList& list = ExitSteps();
    AutoLock hold(list.lock);
    steps.swap(list.steps);
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
    AutoLock hold(lock_);
    if (!stopping_) {
      tasks_.push_back(PendingTask{std::move(task), std::move(from)});
      work_available_.Signal();
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
  AutoLock hold(lock_);
  // Tasks run in order, so once the queue has been empty with no task running, every task
  // posted before this call has finished.
  while (!tasks_.empty() || running_task_) {
    idle_.Wait(lock_);
  }
}

void LooperThread::Shutdown() {
  AutoLock shutting_down(shutdown_lock_);
  {
    AutoLock hold(lock_);
    if (stopping_ && !thread_.joinable()) {
      return;
    }
    stopping_ = true;
    work_available_.Broadcast();
  }
  if (RunsTasksOnCurrentThread()) {
    // A task of ours is ending the process: finish the queue here; the thread dies with it.
    std::deque<PendingTask> rest;
    {
      AutoLock hold(lock_);
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
  AutoLock hold(lock_);
  while (true) {
    while (!stopping_ && tasks_.empty()) {
      work_available_.Wait(lock_);
    }
    if (tasks_.empty()) {
      // Stopping, and everything posted has run.
      idle_.Broadcast();
      return;
    }
    PendingTask pending = std::move(tasks_.front());
    tasks_.pop_front();
    running_task_ = true;
    {
      AutoUnlock release(lock_);
      RunTask(pending);
    }
    running_task_ = false;
    if (tasks_.empty()) {
      idle_.Broadcast();
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

bool LooperThread::stopping() const {
  AutoLock hold(lock_);
  return stopping_;
}

bool OnFileThread() {
  // Once the looper shuts down, its work runs on whichever thread posts it.
  const std::shared_ptr<LooperThread> looper = LooperThread::FileLooper();
  return looper->RunsTasksOnCurrentThread() || looper->stopping();
}

void LooperThread::AbandonAtExit() { g_abandon_at_exit.store(true); }

void LooperThread::RunBeforeFileLooperExit(std::function<void()> step) {
  FileLooper();
  {
    ExitStepList& list = ExitSteps();
    AutoLock hold(list.lock);
    list.steps.push_back(std::move(step));
  }
  // Registered again, so that the handler runs before the static objects made since the looper
  // started are destroyed: the step's threads may still use them.  Later runs find nothing to do.
  std::atexit(RunFileLooperExit);
}

}  // namespace base::threading
